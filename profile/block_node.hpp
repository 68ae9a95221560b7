// Node of the prediction tree carried by a read-ahead profile.
#pragma once

#include <boost/serialization/access.hpp>
#include <boost/serialization/split_member.hpp>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "profile/block_id.hpp"

namespace quarnix {

// Levels below the root that loading a tree accepts. Real trees are as deep as
// the profile's trail length; the bound keeps a corrupt profile from exhausting
// the stack while it is loaded (a level takes about 5 KB of stack in a
// sanitized debug build, so this stays well inside the usual 8 MB).
inline constexpr unsigned int max_block_node_depth = 1024;

struct BlockNode {
  std::map<block_id_t, BlockNode> children;
  // Highest probability first, as the trainer stores them.
  std::vector<std::pair<block_id_t, double>> predictions;
  std::string name;

  // Children, then predictions, then names; probabilities compared exactly.
  bool operator==(const BlockNode& other) const;

  // Nodes in this subtree, this one included.
  std::uint32_t size() const;

  BOOST_SERIALIZATION_SPLIT_MEMBER()

 private:
  friend class boost::serialization::access;

  // Archive order: name, children, predictions. Saved to Boost's binary
  // archive, loaded from the bounded archive.
  template <class Archive>
  void save(Archive& archive, const unsigned int version) const;
  // Throws RuntimeError when the nesting exceeds max_block_node_depth.
  template <class Archive>
  void load(Archive& archive, const unsigned int version);
};

// The node and its subtree, children indented by two more spaces per level;
// the text ends without a line end.
std::string print_block_node(const BlockNode& node, const std::string& indentation);

std::ostream& operator<<(std::ostream& out, const BlockNode& node);

}  // namespace quarnix
