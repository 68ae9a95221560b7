#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "readahead/prefetch_candidates.hpp"
#include "support/errors.hpp"

namespace quarnix::testing {
namespace {

const block_id_t context(1, 0);
const block_id_t b1(2, 1);
const block_id_t b2(2, 2);
const block_id_t c1(3, 1);
const block_id_t c2(3, 2);
const block_id_t d1(4, 1);

struct Yield {
  block_id_t id;
  double p;
};

// Drains the queue, noting the probability of each candidate as it comes out.
std::vector<Yield> drain(candidate_queue& queue) {
  std::vector<Yield> yielded;
  while (!queue.empty()) {
    const double p = queue.top().p;
    yielded.push_back({next_prefetch_candidate(queue), p});
  }
  EXPECT_THROW(next_prefetch_candidate(queue), iterator_end);
  return yielded;
}

void expect_yields(const std::vector<Yield>& actual, const std::vector<Yield>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].id, expected[i].id) << "at " << i;
    EXPECT_DOUBLE_EQ(actual[i].p, expected[i].p) << "at " << i;
  }
}

TEST(CandidateSearchTest, CursorWithoutPositionGivesNoCandidate) {
  BlockNode root;
  root.predictions = {{b1, 0.9}};  // the root's own list is never a prediction
  const PredictionCursor cursor(&root);
  candidate_queue queue = get_prefetch_candidates(cursor);
  EXPECT_TRUE(queue.empty());
  EXPECT_THROW(next_prefetch_candidate(queue), iterator_end);
}

TEST(CandidateSearchTest, YieldsByPathProbabilityAndFollowsPredictedBlocks) {
  BlockNode root;
  root.children[context].predictions = {{b1, 0.6}, {b2, 0.3}};
  // What the tree predicts after b1 was read, as seen from the root.
  root.children[b1].predictions = {{c1, 0.4}, {c2, 0.9}};
  PredictionCursor cursor(&root);
  cursor.advance(context);

  candidate_queue queue = get_prefetch_candidates(cursor);
  ASSERT_EQ(queue.size(), 2u);
  EXPECT_EQ(queue.top().id, b1);
  // The queued cursor has followed the predicted block.
  EXPECT_EQ(queue.top().cursor.nodes, std::vector<BlockNode*>({&root.children[b1]}));

  expect_yields(drain(queue), {{b1, 0.6}, {c2, 0.54}, {b2, 0.3}, {c1, 0.24}});
}

TEST(CandidateSearchTest, ExpandsAtExactlyTheThresholdButNotBelow) {
  BlockNode root;
  root.children[context].predictions = {{b1, 0.1}, {b2, 0.09}};
  root.children[b1].predictions = {{c1, 0.5}};
  root.children[b2].predictions = {{c2, 0.5}};
  root.children[c1].predictions = {{d1, 1.0}};  // p 0.05: yielded, not expanded
  PredictionCursor cursor(&root);
  cursor.advance(context);

  candidate_queue queue = get_prefetch_candidates(cursor);
  expect_yields(drain(queue), {{b1, 0.1}, {b2, 0.09}, {c1, 0.05}});
}

TEST(CandidateSearchTest, BlockReachedOnTwoPathsIsYieldedTwice) {
  BlockNode root;
  root.children[context].predictions = {{b1, 0.5}, {b2, 0.5}};
  root.children[b1].predictions = {{c1, 1.0}};
  root.children[b2].predictions = {{c1, 0.5}};
  PredictionCursor cursor(&root);
  cursor.advance(context);

  candidate_queue queue = get_prefetch_candidates(cursor);
  std::vector<block_id_t> ids;
  for (const Yield& yield : drain(queue))
    ids.push_back(yield.id);
  ASSERT_EQ(ids.size(), 4u);
  EXPECT_EQ(std::count(ids.begin(), ids.end(), c1), 2);
  EXPECT_EQ(ids.back(), c1);  // the less probable path comes last
}

}  // namespace
}  // namespace quarnix::testing
