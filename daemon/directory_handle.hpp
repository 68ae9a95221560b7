// One open directory of the mounted tree, kept in fuse_file_info::fh.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "daemon/directory_positions.hpp"

namespace quarnix {

struct DirectoryHandle {
  explicit DirectoryHandle(std::shared_ptr<DirectoryPositions> positions)
      : positions(std::move(positions)) {}
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  ~DirectoryHandle() {
    if (dir) ::closedir(dir);
  }

  DIR* dir = nullptr;
  uint64_t offset = 0;
  // The offsets handed out for the directory, shared with its other handles.
  const std::shared_ptr<DirectoryPositions> positions;
  // Entries listed since this stream was last at the start of the directory,
  // while it went on from there without a seek and has not reached the end.
  std::optional<std::size_t> listed_from_start = 0;
  // Held through a listing, which looks names up under the state mutex and
  // an inode's: outermost of the daemon's locks. Taken by releasedir.
  std::mutex mutex;
};

}  // namespace quarnix
