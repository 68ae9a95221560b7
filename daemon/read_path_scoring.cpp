#include "daemon/read_path_scoring.hpp"

#include "daemon/daemon_state.hpp"
#include "readahead/read_scoring.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

constexpr ScoringMessages read_messages{"read()", "Current block predictions:", ""};

}  // namespace

void score_read(const InodeRecord& inode, fuse_ino_t ino, uint64_t off, size_t size) {
  // A read of no bytes covers no block.
  if (size == 0) return;
  debug_line(4, DebugStyle::tagged, "read(): updating read-ahead state...");
  const uint64_t block_size = state.cache_blocksize;
  // Block numbers beyond 32 bits have no id: such blocks are simply not scored.
  score_observed_blocks(*state.readahead, read_messages,
                        {inode.path_hash, ino, off / block_size, (off + size - 1) / block_size});
}

}  // namespace quarnix
