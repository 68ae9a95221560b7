// The longest read there is. No read on Linux returns more bytes than this
// (MAX_RW_COUNT), so a traced read or a read-log line of a longer one is
// malformed. Every program that turns reads into blocks refuses or skips
// such a read, so that the blocks that one line makes it count or score are
// bounded whatever number the line holds.
#pragma once

#include <cstdint>

namespace quarnix {

inline constexpr std::uint64_t largest_read_length = 0x7ffff000;

}  // namespace quarnix
