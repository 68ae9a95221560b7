// The daemon's read-ahead thread: it walks the prediction tree from the
// cursor and reads each candidate block through the daemon's own handlers, so
// that the block lands in the cache.
#pragma once

#include <boost/optional.hpp>
#include <cstdint>

#include "daemon/readahead_file_handle.hpp"
#include "profile/block_id.hpp"
#include "readahead/readahead_state.hpp"

namespace quarnix {

// Blocks prefetched per cursor state without a cache, and the share of the
// cache's chunk slots with one.
inline constexpr std::uint64_t readahead_limit_without_cache = 100;
inline constexpr double readahead_limit_cache_share = 0.3;

// 100 without a cache, else 0.3 x its slot count, truncated.
std::uint64_t readahead_block_limit(boost::optional<std::uint64_t> cache_capacity);

// Body of the thread: prefetches at most `limit` blocks per cursor state, then
// waits for the next change of the cursor. Returns once the state's
// request_stop() was called.
void readahead_loop(abstract_readahead_state_t<fuse_file_handle>* readahead, std::uint64_t limit);

// Reads one block of the daemon's cache block size through lookup, open and
// read without a request. Failures are logged; nothing is thrown.
void prefetch_block(abstract_readahead_state_t<fuse_file_handle>* readahead, block_id_t id);

// What readahead_loop calls for each candidate; always prefetch_block in the
// daemon. Set it only while no read-ahead thread runs.
using prefetch_function = void (*)(abstract_readahead_state_t<fuse_file_handle>*, block_id_t);
extern prefetch_function prefetch_hook;

}  // namespace quarnix
