#include "materialize/request_channel.hpp"

#include <err.h>
#include <poll.h>

#include <cerrno>
#include <cstring>

namespace quarnix {

namespace {

template <typename T>
void put(std::vector<char>& record, std::size_t offset, T value) {
  std::memcpy(record.data() + offset, &value, sizeof value);
}

template <typename T>
T get(const char* record, std::size_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

}  // namespace

std::vector<char> encode_mat_request(int32_t type, uint64_t dev, uint64_t ino, uint64_t block,
                                     const std::string& path) {
  std::vector<char> record(40 + path.size(), '\0');
  put(record, 0, type);
  put(record, 8, dev);
  put(record, 16, ino);
  put(record, 24, block);
  put(record, 32, static_cast<uint64_t>(path.size()));
  path.copy(record.data() + 40, path.size());
  return record;
}

mat_notify decode_mat_notify(const char* record) {
  mat_notify notify;
  notify.type = get<int32_t>(record, 0);
  notify.ino = get<uint64_t>(record, 16);
  notify.block = get<uint64_t>(record, 24);
  return notify;
}

int RequestChannel::send(const std::vector<char>& record) {
  std::lock_guard lock(mutex);
  if (closed) return EIO;
  std::size_t written = 0;
  while (written < record.size()) {
    const ssize_t result = ::write(fd, record.data() + written, record.size() - written);
    if (result < 0 && errno == EINTR) continue;
    if (result < 0 && errno == EAGAIN) {
      // The peer made the pipe non-blocking: wait until it takes more.
      pollfd writable{fd, POLLOUT, 0};
      ::poll(&writable, 1, -1);
      continue;
    }
    if (result < 0) {
      const int error = errno;
      warn("ERROR: request_block(): Writing to stdout failed");
      // The rest of a cut record would be read as the start of the next one.
      if (written > 0) closed = true;
      return error;
    }
    written += static_cast<std::size_t>(result);
  }
  return 0;
}

RequestChannel& request_channel() {
  static RequestChannel channel(STDOUT_FILENO);
  return channel;
}

}  // namespace quarnix
