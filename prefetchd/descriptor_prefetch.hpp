// The prefetch daemon's prefetch thread: it reads the predicted blocks through
// the mountpoint with plain descriptors, kept open in the state's handle cache
// until they stay unused.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "prefetchd/fd_handle.hpp"
#include "profile/block_id.hpp"

namespace quarnix::prefetchd {

// Descriptors unused for longer than this are closed; the thread also looks
// for them after every wait of this length that passed without a wake-up.
inline constexpr std::chrono::seconds descriptor_idle_time{3};

// The mounted tree that every prefetch reads beneath: `mountpoint` ends in "/"
// and begins every profile path, `device` is the mounted filesystem's. Set
// before the thread starts.
void set_prefetch_tree(const std::string& mountpoint, std::uint64_t device);

// Body of the thread: at most `max_blocks` blocks per cursor state, each of
// `block_size` bytes. Returns once the state's request_stop() was called.
void readahead_loop(prefetch_state* readahead, std::uint32_t block_size, std::uint64_t max_blocks);

// Reads one block into `buffer` through the cached or a newly opened
// descriptor; a path that leads out of the tree or through a symbolic link is
// not opened. Failures are logged, never thrown.
void prefetch_block(prefetch_state* readahead, block_id_t id, char* buffer,
                    std::uint32_t block_size);

// Closes the cached descriptors idle for longer than descriptor_idle_time.
// The caller holds the state's mutex.
void expire_fds(prefetch_state* readahead);

// What readahead_loop calls, read for every call so that tests can replace it.
struct ReadaheadHooks {
  void (*prefetch_block)(prefetch_state*, block_id_t, char*, std::uint32_t);
  void (*expire_fds)(prefetch_state*);
};
extern ReadaheadHooks readahead_hooks;

}  // namespace quarnix::prefetchd
