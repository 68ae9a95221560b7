// Keeps cached chunks in step with changes made through the mount.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "daemon/daemon_state.hpp"

namespace quarnix {

// The source file's size before a change, for refresh_after_change; -1 when
// there is no cache to keep in step.
off_t size_before_change(int fd);

// After bytes [off, off + size) of the file changed through `fd`: copies the
// cached chunks of the range again, and the chunk that held the old end of
// file when the change extended the file (a short chunk must not keep
// claiming the end).
void refresh_after_change(const InodeRecord& inode, int fd, uint64_t off, uint64_t size,
                          off_t old_size);

// After a truncation from `old_size` to `new_size`.
void adjust_after_resize(const InodeRecord& inode, int fd, off_t old_size, off_t new_size);

}  // namespace quarnix
