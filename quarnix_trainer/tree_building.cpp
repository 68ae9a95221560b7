#include "quarnix_trainer/tree_building.hpp"

#include <algorithm>

#include "support/logging.hpp"

namespace quarnix::trainer {

BlockNode make_tree(const block_probability_t& probabilities, double min_p) {
  BlockNode root;
  root.name = "(root)";
  for (const auto& [sequence, probability] : probabilities) {
    if (log_enabled(4))
      log_debug(2, "make_tree(): processing sequence " + sequence_to_string(sequence));
    if (probability < min_p) {
      log_debug(2, "make_tree(): p below threshold, skipping");
      continue;
    }
    const std::size_t next = sequence.size() - 1;
    BlockNode* node = &root;
    for (std::size_t i = 0; i < next; ++i) {
      node = &node->children[sequence.at(i)];
      if (node->name.empty()) node->name = sequence_to_string(block_sequence_t(sequence, i + 1));
    }
    if (log_enabled(4))
      log_debug(2, boost::format("make_tree(): prediction for block %d with probability %.4f") %
                       sequence.at(next) % probability);
    node->predictions.emplace_back(sequence.at(next), probability);
  }
  sort_tree_predictions(root);
  return root;
}

void sort_tree_predictions(BlockNode& node) {
  // Stable, so that equal probabilities stay in block order.
  std::stable_sort(node.predictions.begin(), node.predictions.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  for (auto& [id, child] : node.children)
    sort_tree_predictions(child);
}

}  // namespace quarnix::trainer
