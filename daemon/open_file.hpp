// One open regular file of the mounted tree, kept in fuse_file_info::fh.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <mutex>

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

namespace quarnix {

struct OpenFile {
  explicit OpenFile(int fd) : fd(fd) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }

  // Closes the source descriptor; 0 or the errno of close.
  int close() {
    const int result = ::close(fd);
    fd = -1;
    return result == 0 ? 0 : errno;
  }

  int fd;
  std::mutex mutex;  // held around replies and page-cache advice; taken by release
};

inline OpenFile* get_open_file(const fuse_file_info* fi) {
  return fi ? reinterpret_cast<OpenFile*>(fi->fh) : nullptr;
}

}  // namespace quarnix
