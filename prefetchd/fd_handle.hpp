// The prefetch daemon's handle: a plain descriptor of a file under the
// mountpoint, with the time it was last used for a prefetch.
#pragma once

#include <chrono>
#include <cstdint>
#include <unordered_map>
#include <utility>

#include "readahead/readahead_state.hpp"
#include "support/unique_fd.hpp"

namespace quarnix::prefetchd {

struct FdHandle {
  explicit FdHandle(UniqueFd fd) : fd(std::move(fd)), last_used(std::chrono::steady_clock::now()) {}
  FdHandle(FdHandle&&) = default;
  FdHandle& operator=(FdHandle&&) = delete;

  UniqueFd fd;
  std::chrono::steady_clock::time_point last_used;
};

using prefetch_state = abstract_readahead_state_t<FdHandle>;

// Inode number of every regular file of the mounted tree to its path's hash.
using ino2hash_t = std::unordered_map<std::uint64_t, std::uint32_t>;

}  // namespace quarnix::prefetchd
