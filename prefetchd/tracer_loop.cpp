#include "prefetchd/tracer_loop.hpp"

#include <errno.h>
#include <string.h>
#include <time.h>

#include <iostream>
#include <limits>
#include <string>

#include "readahead/read_scoring.hpp"
#include "readahead/readahead_stats.hpp"
#include "support/logging.hpp"
#include "support/read_length.hpp"
#include "tracesession/read_trace.hpp"

namespace quarnix::prefetchd {

namespace {

constexpr ScoringMessages follower_messages{
    "tracer_loop()",
    "tracer_loop(): current block predictions:", "tracer_loop: no predictions to compare against."};

// Trace times that go back by less than this are the tracer's own jitter.
constexpr std::uint64_t tolerated_step_back_ns = 50000;

void sleep_ns(std::uint64_t ns) {
  timespec remaining{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  while (::nanosleep(&remaining, &remaining) != 0) {
    if (errno == EINTR)
      log_warning("nanosleep() got interrupted!?");
    else
      log_error(boost::format("nanosleep() failed with: %s\n") % strerror(errno));
  }
}

// Keeps the replayed lines as far apart as their trace times.
class ReplayClock {
 public:
  void wait_until(std::uint64_t time_ns) {
    if (time_ns > previous) {
      sleep_ns(time_ns - previous);
      previous = time_ns;
    } else if (previous - time_ns > tolerated_step_back_ns) {
      log_warning(boost::format("large negative dt! ts: %d, ts_prev: %d") % time_ns % previous);
    }
  }

 private:
  std::uint64_t previous = 0;
};

std::string without_line_end(std::string line) {
  if (line.ends_with('\n')) line.pop_back();
  return line;
}

// Scores one read of the trace; reads of unknown files and of no bytes count nothing.
void follow_read(prefetch_state& readahead, std::uint32_t block_size, const ino2hash_t& ino2hash,
                 const TraceRead& read) {
  if (read.result == 0) return;
  const auto found = ino2hash.find(read.inode);
  if (found == ino2hash.end()) {
    log_debug(2, boost::format("Ino %d not found in mountpoint") % read.inode);
    return;
  }
  log_debug(2, boost::format("tracer_loop(): processing read(ino=%d, off=%d, len=%d)") %
                   read.inode % read.offset % read.result);
  const auto length = static_cast<std::uint64_t>(read.result);
  // Each block is scored under the state's mutex, which the prefetch thread
  // waits for: a length that no read returns would hold it for billions.
  if (length > largest_read_length) {
    log_warning(boost::format("tracer_loop(): read(ino=%d, off=%d, len=%d) is longer than any "
                              "read returns, %d bytes, skipped") %
                read.inode % read.offset % read.result % largest_read_length);
    return;
  }
  if (length - 1 > std::numeric_limits<std::uint64_t>::max() - read.offset) {
    log_warning(boost::format("tracer_loop(): read(ino=%d, off=%d, len=%d) ends beyond the "
                              "largest offset, skipped") %
                read.inode % read.offset % read.result);
    return;
  }
  const ObservedBlocks blocks{found->second, read.inode, read.offset / block_size,
                              (read.offset + length - 1) / block_size};
  if (!score_observed_blocks(readahead, follower_messages, blocks))
    log_warning(boost::format("tracer_loop(): blocks of read(ino=%d, off=%d, len=%d) beyond %d "
                              "skipped: block number overflow") %
                read.inode % read.offset % read.result % largest_block_number);
}

}  // namespace

void tracer_loop(FILE* input, prefetch_state* readahead, std::uint32_t block_size,
                 const ino2hash_t& ino2hash, bool replay) {
  ReplayClock clock;
  char buffer[128];
  // A line longer than the buffer arrives in pieces, each taken as a line.
  while (fgets(buffer, sizeof buffer, input)) {
    log_debug(2, boost::format("Tracer said: %s") % buffer);
    if (strcmp(buffer, "exit\n") == 0) return;
    const std::string line(buffer);
    const auto read = parse_trace_read(line);
    if (!read) {
      if (is_trace_read(line))
        log_warning(boost::format("tracer_loop(): number out of range, line skipped: %s") %
                    without_line_end(line));
      continue;
    }
    if (replay) clock.wait_until(read->time_ns);
    follow_read(*readahead, block_size, ino2hash, *read);
  }
  log_debug(1, "tracer_loop(): pipe was closed by tracer.");
}

void print_readahead_stats(prefetch_state& readahead) {
  write_text(std::cerr, format_readahead_stats(readahead));
}

}  // namespace quarnix::prefetchd
