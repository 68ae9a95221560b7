// A run of consecutive blocks in the order in which they were read: the
// context and prediction keys of every table the trainer builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "profile/block_id.hpp"

namespace quarnix::trainer {

class block_sequence_t {
 public:
  // `length` ids, each the default block id 0.
  explicit block_sequence_t(std::size_t length) : blocks(length), length(length) {}
  // `count` ids of `other` from `start` on; throws std::out_of_range past its end.
  block_sequence_t(const block_sequence_t& other, std::size_t start, std::size_t count);
  // The first `count` ids of `other`.
  block_sequence_t(const block_sequence_t& other, std::size_t count)
      : block_sequence_t(other, 0, count) {}
  block_sequence_t(const block_sequence_t&) = default;
  block_sequence_t& operator=(const block_sequence_t&) = default;

  block_id_t& operator[](std::size_t index) { return blocks[index]; }
  const block_id_t& at(std::size_t index) const { return blocks.at(index); }
  std::size_t size() const { return length; }

  // Lexicographic by block id, a proper prefix first.
  bool operator<(const block_sequence_t& other) const { return blocks < other.blocks; }
  bool operator==(const block_sequence_t& other) const { return blocks == other.blocks; }

 private:
  std::vector<block_id_t> blocks;
  std::size_t length;
};

// The ids joined by " -> ", or "(empty)".
std::string sequence_to_string(const block_sequence_t& sequence);

// How often each sequence was seen.
using occ_count_t = std::map<block_sequence_t, std::uint64_t>;

}  // namespace quarnix::trainer
