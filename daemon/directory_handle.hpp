// One open directory of the mounted tree, kept in fuse_file_info::fh.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace quarnix {

struct DirectoryHandle {
  DirectoryHandle() = default;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  ~DirectoryHandle() {
    if (dir) ::closedir(dir);
  }

  DIR* dir = nullptr;
  uint64_t offset = 0;
  std::unordered_map<uint32_t, long> positions;  // offset handed out -> stream position after it
  // Held through a listing, which looks names up under the state mutex and
  // an inode's: outermost of the daemon's locks. Taken by releasedir.
  std::mutex mutex;
};

}  // namespace quarnix
