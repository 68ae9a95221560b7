// The read path's side of read-ahead: the blocks of every read through the
// mount are scored with the engine's scoring, which both prefetching programs
// share (readahead/read_scoring.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "daemon/daemon_state.hpp"

namespace quarnix {

// Scores the blocks of an observed read against the current predictions,
// moves the cursor along them and wakes the read-ahead thread.
void score_read(const InodeRecord& inode, fuse_ino_t ino, uint64_t off, size_t size);

}  // namespace quarnix
