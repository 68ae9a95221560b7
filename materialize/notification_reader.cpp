#include "materialize/notification_reader.hpp"

#include <err.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/logging.hpp"

namespace quarnix {

NotificationReader::NotificationReader(int input_fd, const StopEvent& stop)
    : input_fd(input_fd), stop(stop) {
  const int pipe_size = ::fcntl(input_fd, F_GETPIPE_SZ);
  buffer.resize(std::max(pipe_size, 1 << 16) + mat_notify_size);
}

std::optional<mat_notify> NotificationReader::next(const RecordClassifier& classify) {
  for (;;) {
    Search result = Search::more_needed;
    if (!searching) {
      if (end - begin >= mat_notify_size) break;
    } else {
      result = search(classify);
      if (result == Search::undecided && input_quiet()) {
        settle_at_pause(classify);
        result = Search::found;
      }
      if (result == Search::found) {
        boundary_found();
        break;
      }
    }
    const Fill filled = fill();
    if (filled == Fill::more) continue;
    // The end of the input is the peer's last pause.
    if (filled == Fill::ended && result == Search::undecided) {
      settle_at_pause(classify);
      boundary_found();
      break;
    }
    if (filled == Fill::ended) report_leftover();
    return std::nullopt;
  }
  last_start = begin;
  begin += mat_notify_size;
  return record_at(last_start);
}

void NotificationReader::boundary_found() {
  report_skipped(skipped);
  searching = false;
}

void NotificationReader::report_leftover() const {
  // Bytes left while the boundary is lost are no record.
  if (searching)
    report_skipped(skipped + (end - begin));
  else if (end > begin)
    log_error(boost::format("input_loop(): short read from stdin, expected %d bytes, got %d") %
              mat_notify_size % (end - begin));
}

void NotificationReader::lose_boundary() {
  searching = true;
  begin = last_start + 1;
  skipped = 1;
}

NotificationReader::Search NotificationReader::search(const RecordClassifier& classify) {
  // A window of the true records shifted by a multiple of 8 bytes reads one
  // record's block number as an inode number; where both are small (tmpfs),
  // it can name a request owed. The record after it seldom passes too.
  for (; end - begin >= mat_notify_size; ++begin, ++skipped) {
    if (classify(record_at(begin)) != RecordKind::answer) continue;
    const std::size_t follower = begin + mat_notify_size;
    if (end - follower >= mat_notify_size) {
      if (classify(record_at(follower)) != RecordKind::stray) return Search::found;
      continue;
    }
    return Search::undecided;
  }
  return Search::more_needed;
}

void NotificationReader::settle_at_pause(const RecordClassifier& classify) {
  // A peer that writes whole records pauses at the end of one: an answer that
  // ends there is a record, and one before it that overlaps it is none. (A
  // record written in pieces can pause anywhere, but seldom for long.)
  const std::size_t last = end - mat_notify_size;
  if (last > begin && classify(record_at(last)) == RecordKind::answer) {
    skipped += last - begin;
    begin = last;
  }
}

bool NotificationReader::input_quiet() const {
  constexpr int pause_ms = 250;
  pollfd fds[2] = {{input_fd, POLLIN, 0}, stop.poll_entry()};
  for (;;) {
    const int ready = ::poll(fds, 2, pause_ms);
    if (ready < 0 && errno == EINTR) continue;
    return ready == 0;
  }
}

mat_notify NotificationReader::record_at(std::size_t offset) const {
  return decode_mat_notify(buffer.data() + offset);
}

void NotificationReader::report_skipped(std::size_t count) const {
  log_error(boost::format("input_loop(): skipped %d bytes of standard input that were no "
                          "notification") %
            count);
}

NotificationReader::Fill NotificationReader::fill() {
  if (begin > 0) {
    std::memmove(buffer.data(), buffer.data() + begin, end - begin);
    end -= begin;
    begin = 0;
  }
  pollfd fds[2] = {{input_fd, POLLIN, 0}, stop.poll_entry()};
  if (::poll(fds, 2, -1) < 0) {
    if (errno == EINTR || errno == EAGAIN) return Fill::more;
    warn("ERROR: input_loop: unable to read from stdin");
    return Fill::failed;
  }
  if (fds[1].revents != 0) {
    stop_seen = true;
    return Fill::failed;
  }
  // Never empty: a search that wants more bytes has fewer than two records
  // from `begin` on, and a record is taken as soon as it is whole.
  const std::size_t room = buffer.size() - end;
  const ssize_t count = ::read(input_fd, buffer.data() + end, room);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return Fill::more;
  if (count < 0) {
    warn("ERROR: input_loop: unable to read from stdin");
    // Reading goes on after a failure; one that repeats at once (a closed
    // or unreadable descriptor) would only repeat for ever.
    return ++failed_reads < max_failed_reads ? Fill::more : Fill::failed;
  }
  failed_reads = 0;
  if (count == 0) return Fill::ended;
  end += static_cast<std::size_t>(count);
  return Fill::more;
}

}  // namespace quarnix
