// Loading the kernel-trace profile into the prefetch daemon's state.
#pragma once

#include <cstdint>
#include <string>

#include "prefetchd/fd_handle.hpp"

namespace quarnix::prefetchd {

// Fills the state's paths, made absolute under `mountpoint` (which ends in
// "/"), and its tree; returns the profile's block size. A profile that cannot
// be opened ends the process with status 3, one of another format, not made
// from kernel traces, with block size 0 or above 64 MiB, or naming a path
// outside the tree with status 4. An unreadable archive throws RuntimeError.
std::uint32_t load_prefetch_profile(const std::string& path, const std::string& mountpoint,
                                    prefetch_state& readahead);

}  // namespace quarnix::prefetchd
