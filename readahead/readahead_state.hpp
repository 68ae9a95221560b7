// What read-ahead knows, shared by the read scoring and the prefetching
// thread: the profile's paths and tree, the cursor that follows the observed
// reads, the blocks prefetched since the last one, the statistics and the open
// handles of the prefetching. `Handle` is the prefetching's file handle.
#pragma once

#include <boost/format.hpp>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "profile/block_id.hpp"
#include "profile/block_node.hpp"
#include "profile/prediction_cursor.hpp"
#include "readahead/lru_cache.hpp"
#include "support/logging.hpp"

namespace quarnix {

inline constexpr std::uint64_t handle_cache_capacity = 63;

// Constructed where it lives: the cursor points into `root`, and the mutex
// and condition variable cannot move. `Handle` must be movable and release
// what it holds in its destructor.
template <typename Handle>
struct abstract_readahead_state_t {
  abstract_readahead_state_t() : cursor(&root), handles(handle_cache_capacity) {}
  abstract_readahead_state_t(const abstract_readahead_state_t&) = delete;
  abstract_readahead_state_t& operator=(const abstract_readahead_state_t&) = delete;

  // The owner joins the prefetching thread before; the request is for a
  // thread that was not stopped.
  ~abstract_readahead_state_t() { request_stop(); }

  // Asks the prefetching thread to end; its owner joins it afterwards. The
  // flag is set under the mutex, so that the thread cannot test it just
  // before the request and then wait through the wake-up.
  void request_stop() {
    {
      std::lock_guard lock(mutex);
      terminate = true;
    }
    cond.notify_all();
  }

  // Guards files, cursor, prefetched, terminate and the statistics.
  std::mutex mutex;
  // Path hash to path; set when the profile is loaded, read-only afterwards.
  std::unordered_map<std::uint32_t, std::string> files;
  BlockNode root;
  PredictionCursor cursor;
  // Used by the prefetching thread alone, without the mutex.
  lru_cache_t<std::uint32_t, Handle> handles;
  // Notified when observed reads moved the cursor, and at shutdown.
  std::condition_variable cond;
  std::unordered_set<block_id_t> prefetched;
  bool terminate = false;

  std::uint64_t total_predictions = 0;
  std::uint64_t hits_not_prefetched = 0;
  std::uint64_t first_hits = 0;
  std::uint64_t hits = 0;
  double expected_first_hits = 0.0;
  double expected_hits = 0.0;
};

// The profile's path of the block's file. The reference stays valid after the
// lock is given back because `files` does not change once loaded. Throws
// std::out_of_range for a hash that the profile does not hold.
template <typename Handle>
const std::string& get_path_by_hash(abstract_readahead_state_t<Handle>& readahead, block_id_t id) {
  std::lock_guard lock(readahead.mutex);
  return readahead.files.at(id.hash());
}

// The same for the prefetching, which skips such a block: null after a warning.
template <typename Handle>
const std::string* find_path_by_hash(abstract_readahead_state_t<Handle>& readahead, block_id_t id) {
  try {
    return &get_path_by_hash(readahead, id);
  } catch (const std::out_of_range&) {
    log_warning(boost::format("readahead(%d): path hash %d is not in the profile") % id %
                id.hash());
    return nullptr;
  }
}

}  // namespace quarnix
