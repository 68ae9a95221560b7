#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "profile/block_node.hpp"
#include "profile/prediction_cursor.hpp"

namespace quarnix::testing {
namespace {

const block_id_t a(1, 1);
const block_id_t b(1, 2);
const block_id_t c(2, 7);
const block_id_t d(3, 0);
const block_id_t unknown(9, 9);

// A tree of trail length 3 over the contexts "a b c" and "b c d", as the
// trainer builds it: predictions only at depth 3.
BlockNode make_tree() {
  BlockNode root;
  root.name = "(root)";
  BlockNode& node_a = root.children[a];
  node_a.name = "a";
  BlockNode& node_ab = node_a.children[b];
  node_ab.name = "a -> b";
  BlockNode& node_abc = node_ab.children[c];
  node_abc.name = "a -> b -> c";
  node_abc.predictions = {{d, 0.75}, {a, 0.25}};
  BlockNode& node_b = root.children[b];
  node_b.name = "b";
  BlockNode& node_bc = node_b.children[c];
  node_bc.name = "b -> c";
  BlockNode& node_bcd = node_bc.children[d];
  node_bcd.name = "b -> c -> d";
  node_bcd.predictions = {{a, 1.0}};
  return root;
}

TEST(PredictionCursorTest, FreshCursorHasTheSharedEmptyList) {
  BlockNode root = make_tree();
  const PredictionCursor cursor(&root);
  const PredictionCursor other(&root);
  EXPECT_TRUE(cursor.nodes.empty());
  EXPECT_EQ(cursor.root, &root);
  EXPECT_TRUE(cursor.current_predictions().empty());
  EXPECT_EQ(&cursor.current_predictions(), &other.current_predictions());
}

TEST(PredictionCursorTest, FollowsTheObservedBlocks) {
  BlockNode root = make_tree();
  PredictionCursor cursor(&root);

  cursor.advance(unknown);
  EXPECT_TRUE(cursor.nodes.empty());

  cursor.advance(a);
  ASSERT_EQ(cursor.nodes.size(), 1u);
  EXPECT_EQ(cursor.nodes[0], &root.children.at(a));

  // b follows both "a" and the root: the deeper position comes first.
  cursor.advance(b);
  ASSERT_EQ(cursor.nodes.size(), 2u);
  EXPECT_EQ(cursor.nodes[0], &root.children.at(a).children.at(b));
  EXPECT_EQ(cursor.nodes[1], &root.children.at(b));

  cursor.advance(c);
  const BlockNode& abc = root.children.at(a).children.at(b).children.at(c);
  ASSERT_EQ(cursor.nodes.size(), 2u);
  EXPECT_EQ(cursor.nodes[0], &abc);
  EXPECT_EQ(cursor.nodes[1], &root.children.at(b).children.at(c));
  EXPECT_EQ(&cursor.current_predictions(), &abc.predictions);

  // The prediction node has no children and is dropped; "b c d" takes over.
  cursor.advance(d);
  const BlockNode& bcd = root.children.at(b).children.at(c).children.at(d);
  ASSERT_EQ(cursor.nodes.size(), 1u);
  EXPECT_EQ(cursor.nodes[0], &bcd);
  EXPECT_EQ(cursor.current_predictions().front().first, a);

  cursor.advance(unknown);
  EXPECT_TRUE(cursor.nodes.empty());
  EXPECT_TRUE(cursor.current_predictions().empty());
}

TEST(BlockNodeTest, PrintsNodesAndSubtrees) {
  BlockNode root;
  root.name = "(root)";
  BlockNode& child = root.children[block_id_t(1, 2)];
  child.name = "x";
  child.predictions = {{block_id_t(0, 5), 0.5}};
  EXPECT_EQ(print_block_node(root, ""),
            "<BlockNode '(root)'>\n  4294967298: <BlockNode 'x', p={5: 0.5, }>");

  child.predictions.push_back({block_id_t(0, 6), 1.0 / 3});
  child.children[block_id_t(0, 1)].name = "y";
  root.children[block_id_t(0, 3)].name = "z";
  const std::string expected =
      "<BlockNode '(root)'>\n"
      "  3: <BlockNode 'z'>\n"
      "  4294967298: <BlockNode 'x', p={5: 0.5, 6: 0.333333, }>\n"
      "    1: <BlockNode 'y'>";
  EXPECT_EQ(print_block_node(root, ""), expected);

  std::ostringstream streamed;
  streamed << root;
  EXPECT_EQ(streamed.str(), expected);

  EXPECT_EQ(print_block_node(root.children.at(block_id_t(1, 2)), ">>"),
            "<BlockNode 'x', p={5: 0.5, 6: 0.333333, }>\n>>  1: <BlockNode 'y'>");
}

TEST(BlockNodeTest, EqualityComparesTheWholeSubtree) {
  const BlockNode tree = make_tree();
  EXPECT_EQ(tree, make_tree());

  BlockNode other_probability = make_tree();
  other_probability.children.at(a).children.at(b).children.at(c).predictions[1].second = 0.2500001;
  EXPECT_FALSE(tree == other_probability);

  BlockNode other_name = make_tree();
  other_name.children.at(b).children.at(c).name = "renamed";
  EXPECT_FALSE(tree == other_name);

  BlockNode other_order = make_tree();
  auto& predictions = other_order.children.at(a).children.at(b).children.at(c).predictions;
  std::swap(predictions[0], predictions[1]);
  EXPECT_FALSE(tree == other_order);

  BlockNode extra_child = make_tree();
  extra_child.children[unknown];
  EXPECT_FALSE(tree == extra_child);
}

TEST(BlockNodeTest, SizeCountsEveryNode) {
  EXPECT_EQ(BlockNode().size(), 1u);
  EXPECT_EQ(make_tree().size(), 7u);
}

}  // namespace
}  // namespace quarnix::testing
