#include "materialize/notification_reader.hpp"

#include <err.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/logging.hpp"

namespace quarnix {

std::optional<mat_notify> NotificationReader::next() {
  while (end - begin < mat_notify_size) {
    if (!fill()) return std::nullopt;
  }
  const mat_notify notify = decode_mat_notify(buffer + begin);
  begin += mat_notify_size;
  return notify;
}

bool NotificationReader::fill() {
  if (begin > 0) {
    std::memmove(buffer, buffer + begin, end - begin);
    end -= begin;
    begin = 0;
  }
  pollfd fds[2] = {{input_fd, POLLIN, 0}, stop.poll_entry()};
  if (::poll(fds, 2, -1) < 0) {
    if (errno == EINTR || errno == EAGAIN) return true;
    warn("ERROR: input_loop: unable to read from stdin");
    return false;
  }
  if (fds[1].revents != 0) {
    stop_seen = true;
    return false;
  }
  const ssize_t count = ::read(input_fd, buffer + end, sizeof buffer - end);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (count < 0) {
    warn("ERROR: input_loop: unable to read from stdin");
    // Reading goes on after a failure; one that repeats at once (a closed
    // or unreadable descriptor) would only repeat for ever.
    return ++failed_reads < max_failed_reads;
  }
  failed_reads = 0;
  if (count == 0) {
    if (end > 0)
      log_error(boost::format("input_loop(): short read from stdin, expected %d bytes, got %d") %
                mat_notify_size % end);
    end = 0;
    return false;
  }
  end += static_cast<std::size_t>(count);
  return true;
}

}  // namespace quarnix
