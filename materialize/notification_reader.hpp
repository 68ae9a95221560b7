// Whole `mat_notify` records from the peer, however the pipe cuts them, and
// the search for the record boundary once stray bytes have shifted it.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

#include "materialize/request_channel.hpp"
#include "support/stop_event.hpp"

namespace quarnix {

class NotificationReader {
 public:
  // Reads `input_fd` until it ends or a stop is requested.
  NotificationReader(int input_fd, const StopEvent& stop);

  // The next notification; nothing once the input has ended (or failed) or a
  // stop was asked for. A record cut off by the end of the input is dropped
  // with an error line. While the boundary is lost, the next candidate.
  std::optional<mat_notify> next();

  bool stopped() const { return stop_seen; }

  // The record returned last was none: the next one is looked for from the
  // byte after its start on, among the candidates. A peer's write of whole
  // records arrives whole, so that a read ends at a record boundary: a
  // candidate starts a whole number of records before the end of the first
  // read that holds all of it.
  void lose_boundary();
  // The candidate returned last was a record: records follow it again.
  void boundary_found() { searching = false; }
  bool boundary_lost() const { return searching; }

 private:
  // Where a candidate starts, at or after `begin`, among the bytes read.
  std::optional<std::size_t> next_candidate() const;
  // False at the end of the input or on a stop.
  bool fill();

  int input_fd;
  const StopEvent& stop;
  bool stop_seen = false;
  static constexpr int max_failed_reads = 2;
  int failed_reads = 0;  // in a row
  // Room for all a pipe holds, so that a read ends where a write of the peer
  // ended, not where the room did.
  std::vector<char> buffer;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t last_start = 0;  // of the record returned last
  bool searching = false;
  std::deque<std::size_t> read_ends;  // in the buffer, ascending, past `begin`
};

}  // namespace quarnix
