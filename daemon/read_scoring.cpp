#include "daemon/read_scoring.hpp"

#include <sstream>

#include "daemon/daemon_state.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

using readahead_state = abstract_readahead_state_t<fuse_file_handle>;

void score_block(readahead_state& readahead, block_id_t id) {
  const auto& predictions = readahead.cursor.current_predictions();
  for (std::size_t j = 0; j < predictions.size(); ++j) {
    const auto& [predicted, p] = predictions[j];
    if (j == 0) {
      ++readahead.total_predictions;
      readahead.expected_first_hits += p;
    }
    readahead.expected_hits += p;
    if (predicted == id) {
      log_debug(
          2, boost::format("read(): prediction of block %d (p=%.2f) was correct") % predicted % p);
      ++readahead.hits;
      if (j == 0) ++readahead.first_hits;
      if (!readahead.prefetched.count(id)) ++readahead.hits_not_prefetched;
    } else {
      log_debug(2, boost::format(
                       "read(): prediction of block %d (p=%.2f) was not correct  (actual: %d)") %
                       predicted % p % id);
    }
  }
  readahead.cursor.advance(id);
  readahead.prefetched.clear();
}

void log_current_predictions(const readahead_state& readahead) {
  std::ostringstream text;
  text << "Current block predictions:";
  for (const auto& [id, p] : readahead.cursor.current_predictions())
    text << "\n  id=" << id << ", p=" << p << " (blockno=" << id.block() << ", hash=" << id.hash()
         << ")";
  log_debug(3, text.str());
}

}  // namespace

void score_read(const InodeRecord& inode, fuse_ino_t ino, uint64_t off, size_t size) {
  // A read of no bytes covers no block.
  if (size == 0) return;
  log_debug(2, "read(): updating read-ahead state...");
  readahead_state& readahead = *state.readahead;
  const uint64_t block_size = state.cache_blocksize;
  const uint64_t first = off / block_size;
  const uint64_t last = (off + size - 1) / block_size;
  const uint32_t path_hash = inode.path_hash;
  {
    std::lock_guard lock(readahead.mutex);
    // Block numbers beyond 32 bits have no id: such blocks are simply not scored.
    for (uint64_t k = first; k <= last && k <= 0xffffffffu; ++k) {
      const block_id_t id(path_hash, k);
      score_block(readahead, id);
      if (log_enabled(4))
        log_debug(
            2, boost::format("read(): registered read of block %d (ino %d, blockno %d, hash %d)") %
                   id % ino % k % path_hash);
      if (log_enabled(5)) log_current_predictions(readahead);
    }
    readahead.cond.notify_all();
  }
}

}  // namespace quarnix
