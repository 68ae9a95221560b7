// Block numbers fill the low 32 bits of a block id, so every program that
// numbers blocks for a profile stops at the same last one.
#pragma once

#include <cstdint>

namespace quarnix {

inline constexpr std::uint64_t largest_block_number = 0xffffffffu;

}  // namespace quarnix
