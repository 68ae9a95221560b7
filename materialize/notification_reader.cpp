#include "materialize/notification_reader.hpp"

#include <err.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "support/logging.hpp"

namespace quarnix {

std::optional<mat_notify> NotificationReader::next() {
  for (;;) {
    if (!searching) {
      if (end - begin >= mat_notify_size) break;
    } else if (const std::optional<std::size_t> candidate = next_candidate()) {
      begin = *candidate;
      break;
    } else if (!read_ends.empty()) {
      // Only the bytes of a record the last read ended within can still start one.
      begin = std::max(begin, read_ends.back() - std::min(read_ends.back(), mat_notify_size - 1));
    }
    if (!fill()) return std::nullopt;
  }
  last_start = begin;
  begin += mat_notify_size;
  return decode_mat_notify(buffer + last_start);
}

void NotificationReader::lose_boundary() {
  searching = true;
  begin = last_start + 1;
}

std::optional<std::size_t> NotificationReader::next_candidate() const {
  std::size_t from = begin;
  for (const std::size_t read_end : read_ends) {
    if (read_end >= from + mat_notify_size) {
      // The first candidate at or after `from` that lies whole records before this end.
      const std::size_t candidate = from + (read_end - from) % mat_notify_size;
      if (candidate + mat_notify_size <= read_end) return candidate;
    }
    // Bytes that this read ends within a record of belong to no candidate of a later end.
    if (read_end + 1 > mat_notify_size) from = std::max(from, read_end + 1 - mat_notify_size);
  }
  return std::nullopt;
}

bool NotificationReader::fill() {
  if (begin > 0) {
    std::memmove(buffer, buffer + begin, end - begin);
    end -= begin;
    for (std::size_t& read_end : read_ends)
      read_end = read_end > begin ? read_end - begin : 0;
    begin = 0;
  }
  while (!read_ends.empty() && read_ends.front() == 0)
    read_ends.pop_front();
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
  read_ends.push_back(end);
  return true;
}

}  // namespace quarnix
