#include "profile/block_node.hpp"

#include <boost/archive/binary_oarchive.hpp>
#include <boost/serialization/map.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/utility.hpp>
#include <boost/serialization/vector.hpp>
#include <ostream>
#include <sstream>

#include "support/bounded_binary_archive.hpp"
#include "support/errors.hpp"

namespace quarnix {

namespace {

// Nesting of the BlockNode loads in progress on this thread.
thread_local unsigned int loading_depth = 0;

class LoadingLevel {
 public:
  LoadingLevel() {
    // The root is level 0, so the deepest accepted node is loaded at
    // max_block_node_depth + 1 nested loads.
    if (loading_depth > max_block_node_depth)
      throw RuntimeError(boost::format("prediction tree is nested deeper than %d levels") %
                         max_block_node_depth);
    ++loading_depth;
  }
  ~LoadingLevel() { --loading_depth; }
  LoadingLevel(const LoadingLevel&) = delete;
  LoadingLevel& operator=(const LoadingLevel&) = delete;
};

}  // namespace

bool BlockNode::operator==(const BlockNode& other) const {
  return children == other.children && predictions == other.predictions && name == other.name;
}

std::uint32_t BlockNode::size() const {
  std::uint32_t count = 1;
  for (const auto& [id, child] : children)
    count += child.size();
  return count;
}

template <class Archive>
void BlockNode::save(Archive& archive, const unsigned int /*version*/) const {
  archive << name << children << predictions;
}

template <class Archive>
void BlockNode::load(Archive& archive, const unsigned int /*version*/) {
  const LoadingLevel level;
  archive >> name >> children >> predictions;
}

template void BlockNode::save(boost::archive::binary_oarchive&, const unsigned int) const;
template void BlockNode::load(BoundedBinaryArchive&, const unsigned int);

std::string print_block_node(const BlockNode& node, const std::string& indentation) {
  std::ostringstream text;
  text << "<BlockNode '" << node.name << "'";
  if (node.predictions.empty()) {
    text << ">";
  } else {
    text << ", p={";
    for (const auto& [id, probability] : node.predictions)
      text << id << ": " << probability << ", ";
    text << "}>";
  }
  const std::string child_indentation = indentation + "  ";
  for (const auto& [id, child] : node.children)
    text << std::endl
         << child_indentation << id << ": " << print_block_node(child, child_indentation);
  return text.str();
}

std::ostream& operator<<(std::ostream& out, const BlockNode& node) {
  return out << print_block_node(node, "");
}

}  // namespace quarnix
