// Building the prediction tree that a read-ahead profile carries.
#pragma once

#include "profile/block_node.hpp"
#include "quarnix_trainer/sequence_statistics.hpp"

namespace quarnix::trainer {

// A root named "(root)" with one path of nodes per context and the
// predictions of probability at least `min_p` at the end of each path, every
// node named after the blocks that lead to it.
BlockNode make_tree(const block_probability_t& probabilities, double min_p);

// Orders the predictions of the node and of its whole subtree highest first.
void sort_tree_predictions(BlockNode& node);

}  // namespace quarnix::trainer
