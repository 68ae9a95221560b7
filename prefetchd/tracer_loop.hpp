// The trace follower: every traced read of a known file is scored against the
// prediction tree, which moves the cursor on and wakes the prefetch thread.
#pragma once

#include <cstdint>
#include <cstdio>

#include "prefetchd/fd_handle.hpp"

namespace quarnix::prefetchd {

// Follows the read trace on `input` until it ends or holds the line "exit".
// With `replay`, sleeps between the lines as long as their trace times lie
// apart.
void tracer_loop(FILE* input, prefetch_state* readahead, std::uint32_t block_size,
                 const ino2hash_t& ino2hash, bool replay);

// The statistics to standard error; run after the prefetch thread has ended.
void print_readahead_stats(prefetch_state& readahead);

}  // namespace quarnix::prefetchd
