// Owner of one file descriptor: closed when the owner goes.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quarnix {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd; }
  explicit operator bool() const { return fd >= 0; }
  int release() { return std::exchange(fd, -1); }
  void reset(int new_fd = -1) {
    if (fd >= 0) ::close(fd);
    fd = new_fd;
  }
  // Closes the descriptor now, for a caller that reports the failure: 0, or
  // the errno of close. The descriptor is gone either way.
  int close() {
    const int result = ::close(release());
    return result == 0 ? 0 : errno;
  }

 private:
  int fd = -1;
};

}  // namespace quarnix
