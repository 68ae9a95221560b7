// A position in the prediction tree that follows the observed blocks.
#pragma once

#include <utility>
#include <vector>

#include "profile/block_id.hpp"
#include "profile/block_node.hpp"

namespace quarnix {

// A small value, copied freely; copies share the tree, which must outlive them.
// It has no lock: its owner guards it.
struct PredictionCursor {
  // Nodes reached by following the most recent blocks from the root, the
  // longest matched context first.
  std::vector<BlockNode*> nodes;
  BlockNode* root;

  explicit PredictionCursor(BlockNode* root) : root(root) {}

  // Moves every position that can follow `block` one level down, drops the
  // others, and starts a new position at the root's child for `block`.
  void advance(block_id_t block);

  // The predictions of the first position, or one shared empty list. Always a
  // reference into the tree: callers compare its address to notice a move.
  const std::vector<std::pair<block_id_t, double>>& current_predictions() const;
};

}  // namespace quarnix
