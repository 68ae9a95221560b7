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

std::optional<mat_notify> NotificationReader::next() {
  for (;;) {
    if (!searching) {
      if (end - begin >= mat_notify_size) break;
    } else if (const std::optional<std::size_t> candidate = next_candidate()) {
      begin = *candidate;
      break;
    } else if (end == buffer.size()) {
      // No room left: the records the full buffer holds whole are given up.
      begin = std::max(begin, end - (mat_notify_size - 1));
    } else if (!read_ends.empty()) {
      // Only the bytes of a record the last read ended within can still start one.
      begin = std::max(begin, read_ends.back() - std::min(read_ends.back(), mat_notify_size - 1));
    }
    if (!fill()) return std::nullopt;
  }
  last_start = begin;
  begin += mat_notify_size;
  return decode_mat_notify(buffer.data() + last_start);
}

void NotificationReader::lose_boundary() {
  searching = true;
  begin = last_start + 1;
}

std::optional<std::size_t> NotificationReader::next_candidate() const {
  // The first read that holds a whole record from `begin` on: every offset up
  // to its last record has it for the first read that holds all of it.
  for (const std::size_t read_end : read_ends)
    if (read_end >= begin + mat_notify_size) return begin + (read_end - begin) % mat_notify_size;
  return std::nullopt;
}

bool NotificationReader::fill() {
  if (begin > 0) {
    std::memmove(buffer.data(), buffer.data() + begin, end - begin);
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
  const std::size_t room = buffer.size() - end;
  const ssize_t count = ::read(input_fd, buffer.data() + end, room);
  if (count < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (count < 0) {
    warn("ERROR: input_loop: unable to read from stdin");
    // Reading goes on after a failure; one that repeats at once (a closed
    // or unreadable descriptor) would only repeat for ever.
    return ++failed_reads < max_failed_reads;
  }
  failed_reads = 0;
  if (count == 0) {
    // Bytes left while the boundary is lost are no record.
    if (end > 0 && !searching)
      log_error(boost::format("input_loop(): short read from stdin, expected %d bytes, got %d") %
                mat_notify_size % end);
    end = 0;
    return false;
  }
  end += static_cast<std::size_t>(count);
  // A read that filled the room may have ended inside a write of the peer.
  if (static_cast<std::size_t>(count) < room) read_ends.push_back(end);
  return true;
}

}  // namespace quarnix
