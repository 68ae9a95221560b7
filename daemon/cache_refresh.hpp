// Keeps cached chunks in step with changes made through the mount.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>

#include "daemon/daemon_state.hpp"

namespace quarnix {

// A change made through the mount to the source file of `inode`, for the
// cache to follow: taken before the change, told after each step of it.
class SourceChange {
 public:
  // `fd` is a descriptor of the file (an O_PATH one will do).
  SourceChange(const InodeRecord& inode, int fd);
  // For a file known by a descriptor alone; none (-1) follows nothing.
  explicit SourceChange(int fd);

  // The file's size before the change, for refresh_after_change and
  // adjust_after_resize; -1 when there is no cache to keep in step.
  off_t old_size() const { return size_before; }

  // After a step of the change, before the chunks it touched are copied
  // again: the cache takes the file as it is now for the one it held, so that
  // the next open keeps the chunks.
  void followed();

 private:
  const int fd;
  uint64_t ino = 0;  // of the source file
  off_t size_before = -1;
  std::optional<FileIdentity> identity;  // the file as the cache last followed it
};

// After bytes [off, off + size) of the file changed through `fd`: copies the
// cached chunks of the range again, and the chunk that held the old end of
// file when the change extended the file (a short chunk must not keep
// claiming the end).
void refresh_after_change(const InodeRecord& inode, int fd, uint64_t off, uint64_t size,
                          off_t old_size);

// After a truncation from `old_size` to `new_size`.
void adjust_after_resize(const InodeRecord& inode, int fd, off_t old_size, off_t new_size);

}  // namespace quarnix
