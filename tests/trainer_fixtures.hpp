// Building blocks of the trainer's tests: sequences and expected trees.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "profile/block_node.hpp"
#include "quarnix_trainer/block_sequence.hpp"

namespace quarnix::testing {

inline trainer::block_sequence_t sequence(std::initializer_list<block_id_t> blocks) {
  trainer::block_sequence_t result(blocks.size());
  std::size_t i = 0;
  for (const block_id_t block : blocks)
    result[i++] = block;
  return result;
}

// The nodes along `path` from the root, named after their prefixes.
inline BlockNode& add_path(BlockNode& root, const std::vector<block_id_t>& path) {
  BlockNode* node = &root;
  std::string name;
  for (const block_id_t block : path) {
    name += (name.empty() ? "" : " -> ") + std::to_string(block.value);
    node = &node->children[block];
    node->name = name;
  }
  return *node;
}

}  // namespace quarnix::testing
