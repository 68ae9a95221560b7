#include "profile/prediction_cursor.hpp"

namespace quarnix {

void PredictionCursor::advance(block_id_t block) {
  nodes.push_back(root);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    // A position that cannot follow the block is dropped; the survivors keep their order.
    const auto child = nodes[i]->children.find(block);
    if (child != nodes[i]->children.end()) nodes[kept++] = &child->second;
  }
  nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(kept), nodes.end());
}

const std::vector<std::pair<block_id_t, double>>& PredictionCursor::current_predictions() const {
  static const std::vector<std::pair<block_id_t, double>> no_predictions;
  if (nodes.empty()) return no_predictions;
  return nodes.front()->predictions;
}

}  // namespace quarnix
