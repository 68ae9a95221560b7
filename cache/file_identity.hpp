// What tells whether cached chunks still belong to the file under an inode
// number: inode numbers are handed out again, and tools that copy or extract
// files set modification times back, so the change time and the size are
// compared as well. Nobody can set a change time back.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <cstdint>

#include "cache/lru_element.hpp"

namespace quarnix {

struct FileIdentity {
  timespec mtime{};
  timespec ctime{};
  int64_t size = 0;

  static FileIdentity of(const struct stat& info) {
    return {info.st_mtim, info.st_ctim, static_cast<int64_t>(info.st_size)};
  }

  bool operator==(const FileIdentity& other) const {
    return same_time(mtime, other.mtime) && same_time(ctime, other.ctime) && size == other.size;
  }

  template <class Archive>
  void serialize(Archive& archive, unsigned int /*version*/) {
    archive& mtime& ctime& size;
  }
};

}  // namespace quarnix
