#pragma once

#include "daemon/daemon_state.hpp"

namespace quarnix {

// Drops the pages behind every buffer of the vector from the page cache;
// true when every advice succeeded.
bool advise_dontneed(const fuse_bufvec& buffers);

// The buffer-copy flags of replies and writes: splice unless --nosplice.
inline fuse_buf_copy_flags transfer_flags() {
  return state.nosplice ? FUSE_BUF_NO_SPLICE : FUSE_BUF_SPLICE_MOVE;
}

}  // namespace quarnix
