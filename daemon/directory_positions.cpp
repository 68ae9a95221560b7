#include "daemon/directory_positions.hpp"

#include <algorithm>

namespace quarnix {

namespace {

// The kernel takes 32-bit directory offsets; stream positions are folded into them.
uint32_t folded_offset(int64_t position) {
  const uint32_t high = static_cast<uint32_t>(static_cast<uint64_t>(position) >> 32);
  const uint32_t folded = high ^ static_cast<uint32_t>(position & 0x7fffffff);
  return folded != 0 ? folded : high;
}

}  // namespace

const int64_t* DirectoryPositions::known(uint32_t offset) const {
  if (const auto found = newer.find(offset); found != newer.end()) return &found->second;
  if (const auto found = older.find(offset); found != older.end()) return &found->second;
  return nullptr;
}

void DirectoryPositions::remember(uint32_t offset, int64_t position) {
  if (newer.count(offset)) return;
  if (newer.size() >= generation_size) {
    older = std::move(newer);
    newer.clear();
  }
  newer.emplace(offset, position);
}

uint32_t DirectoryPositions::hand_out(int64_t position) {
  std::lock_guard lock(mutex);
  uint32_t offset = folded_offset(position);
  for (;; ++offset) {
    if (offset == 0) continue;
    const int64_t* const taken = known(offset);
    if (!taken || *taken == position) break;
  }
  remember(offset, position);
  return offset;
}

std::optional<int64_t> DirectoryPositions::find(uint32_t offset) {
  std::lock_guard lock(mutex);
  const int64_t* const position = known(offset);
  if (!position) return std::nullopt;
  const int64_t found = *position;
  remember(offset, found);
  return found;
}

void DirectoryPositions::listed_from_start(std::size_t entries) {
  std::lock_guard lock(mutex);
  generation_size = std::max(generation_size, 2 * entries);
}

std::size_t DirectoryPositions::remembered() {
  std::lock_guard lock(mutex);
  return newer.size() + older.size();
}

}  // namespace quarnix
