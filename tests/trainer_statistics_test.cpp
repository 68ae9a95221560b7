// The trainer's learning steps: sequences, Markov-chain statistics, the
// prediction tree, the read-size list and the prefetch histogram.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "quarnix_trainer/block_sequence.hpp"
#include "quarnix_trainer/prefetch_histogram.hpp"
#include "quarnix_trainer/read_size_statistics.hpp"
#include "quarnix_trainer/sequence_statistics.hpp"
#include "quarnix_trainer/tree_building.hpp"
#include "support/errors.hpp"
#include "tests/stream_capture.hpp"
#include "tests/trainer_fixtures.hpp"

namespace quarnix::testing {
namespace {

using namespace quarnix::trainer;

const block_id_t b1(1, 1);
const block_id_t b2(1, 2);
const block_id_t b3(2, 0);
const block_id_t b4(2, 1);
const block_id_t b5(3, 9);

// Counts {(b1,b2,b3,b4): 3, (b1,b2,b3,b5): 1}: one context, two successors.
occ_count_t two_successor_counts() {
  return {{sequence({b1, b2, b3, b4}), 3}, {sequence({b1, b2, b3, b5}), 1}};
}

TEST(TrainerSequences, BuildCompareAndPrint) {
  const block_sequence_t three = sequence({b1, b2, b3});
  EXPECT_EQ(sequence_to_string(three), "4294967297 -> 4294967298 -> 8589934592");
  EXPECT_EQ(sequence_to_string(block_sequence_t(0)), "(empty)");
  EXPECT_EQ(block_sequence_t(2).at(1), block_id_t());

  EXPECT_EQ(block_sequence_t(three, 2), sequence({b1, b2}));
  EXPECT_EQ(block_sequence_t(three, 1, 2), sequence({b2, b3}));
  EXPECT_EQ(block_sequence_t(three, 1, 2).size(), 2u);
  EXPECT_THROW(block_sequence_t(three, 2, 2), std::out_of_range);

  // Block by block, a proper prefix first.
  EXPECT_LT(sequence({b1, b2}), three);
  EXPECT_LT(three, sequence({b1, b3}));
  EXPECT_FALSE(three < sequence({b1, b2}));
}

TEST(TrainerStatistics, TwoSuccessorsOfOneContext) {
  const occ_count_t counts = two_successor_counts();
  const occ_count_t aggregated = calc_agg_occ_count(counts, 1);
  EXPECT_EQ(aggregated, (occ_count_t{{sequence({b1, b2, b3}), 4}}));

  const block_probability_t probabilities = calc_block_probability(counts, aggregated);
  EXPECT_EQ(probabilities, (block_probability_t{{sequence({b1, b2, b3, b4}), 0.75},
                                                {sequence({b1, b2, b3, b5}), 0.25}}));

  EXPECT_EQ(calc_prefetches_needed(probabilities, 0.9),
            (prefetches_needed_t{{sequence({b1, b2, b3}), 2}}));
  EXPECT_EQ(calc_prefetches_needed(probabilities, 0.7),
            (prefetches_needed_t{{sequence({b1, b2, b3}), 1}}));
  EXPECT_EQ(calc_prefetches_needed(probabilities, 1.5), prefetches_needed_t{});
}

TEST(TrainerStatistics, AggregationLevelsAndLimits) {
  // Two levels add every count to the prefixes one and two blocks shorter.
  const occ_count_t counts = {{sequence({b1, b2, b3}), 2}, {sequence({b1, b4, b5}), 5}};
  EXPECT_EQ(calc_agg_occ_count(counts, 2),
            (occ_count_t{{sequence({b1}), 7}, {sequence({b1, b2}), 2}, {sequence({b1, b4}), 5}}));

  EXPECT_EQ(calc_agg_occ_count({}, 1), occ_count_t{});
  // Trail length 0: one-block sequences have no context.
  try {
    calc_agg_occ_count({{sequence({b1}), 1}}, 1);
    ADD_FAILURE() << "no error";
  } catch (const RuntimeError& error) {
    EXPECT_STREQ(error.what(), "levels(1) must be < sequence length (1)");
  }
}

TEST(TrainerStatistics, ASingleSuccessorIsCertain) {
  const occ_count_t counts = {{sequence({b1, b2}), 5}};
  const block_probability_t probabilities =
      calc_block_probability(counts, calc_agg_occ_count(counts, 1));
  EXPECT_EQ(probabilities.at(sequence({b1, b2})), 1.0);
  EXPECT_EQ(calc_prefetches_needed(probabilities, 1.0), (prefetches_needed_t{{sequence({b1}), 1}}));
}

TEST(TrainerStatistics, ContextsThatNeverReachTheThresholdWeighZero) {
  // Ten successors of 0.1 each add up to just below 1; b5's single successor reaches it.
  occ_count_t counts = {{sequence({b5, b1}), 10}};
  for (std::uint32_t block = 0; block < 10; ++block)
    counts[sequence({b1, block_id_t(7, block)})] = 1;
  const occ_count_t aggregated = calc_agg_occ_count(counts, 1);
  prefetches_needed_t needed =
      calc_prefetches_needed(calc_block_probability(counts, aggregated), 1.0);
  EXPECT_EQ(needed, (prefetches_needed_t{{sequence({b5}), 1}}));
  EXPECT_EQ(format_prefetch_histogram(needed, 1.0),
            "# of prefetches needed for p=1.00\tnumber of block sequences\n1\t1\n");

  EXPECT_DOUBLE_EQ(weighted_prefetches_needed(aggregated, needed), 0.5);
  EXPECT_EQ(needed.at(sequence({b1})), 0);
}

TEST(TrainerTree, PredictionsAboveTheMinimumAtTheEndOfTheirContext) {
  const occ_count_t counts = two_successor_counts();
  const block_probability_t probabilities =
      calc_block_probability(counts, calc_agg_occ_count(counts, 1));

  BlockNode expected;
  expected.name = "(root)";
  add_path(expected, {b1, b2, b3}).predictions = {{b4, 0.75}, {b5, 0.25}};
  // A probability equal to the minimum enters the tree.
  const BlockNode tree = make_tree(probabilities, 0.25);
  EXPECT_EQ(tree, expected) << tree;
  EXPECT_EQ(tree.size(), 4u);
  EXPECT_EQ(tree.children.at(b1).children.at(b2).children.at(b3).name,
            "4294967297 -> 4294967298 -> 8589934592");

  add_path(expected, {b1, b2, b3}).predictions = {{b4, 0.75}};
  EXPECT_EQ(make_tree(probabilities, 0.3), expected);

  // Nothing above the minimum: the root alone.
  BlockNode root_alone;
  root_alone.name = "(root)";
  EXPECT_EQ(make_tree(probabilities, 0.8), root_alone);
  EXPECT_EQ(make_tree({}, 0.1), root_alone);
}

TEST(TrainerTree, ContextsShareTheirCommonPrefix) {
  const occ_count_t counts = {{sequence({b1, b2, b3}), 1},
                              {sequence({b1, b2, b4}), 3},
                              {sequence({b1, b3, b5}), 2},
                              {sequence({b2, b1, b1}), 1}};
  const BlockNode tree =
      make_tree(calc_block_probability(counts, calc_agg_occ_count(counts, 1)), 0.1);

  BlockNode expected;
  expected.name = "(root)";
  add_path(expected, {b1, b2}).predictions = {{b4, 0.75}, {b3, 0.25}};
  add_path(expected, {b1, b3}).predictions = {{b5, 1.0}};
  add_path(expected, {b2, b1}).predictions = {{b1, 1.0}};
  EXPECT_EQ(tree, expected) << tree;
  EXPECT_EQ(tree.size(), 6u);
}

TEST(TrainerStatistics, CountDumpListsLowestCountFirst) {
  const occ_count_t counts = {{sequence({b1, b2}), 5000000000},
                              {sequence({b2, b1}), 2},
                              {sequence({b1, b1}), 2},
                              {sequence({b3, b4}), 1}};
  StreamCapture capture;
  print_occ_counts(counts);
  EXPECT_EQ(capture.out(),
            "  8589934592 -> 8589934593: 1\n"
            "  4294967297 -> 4294967297: 2\n"
            "  4294967298 -> 4294967297: 2\n"
            "  4294967297 -> 4294967298: 5000000000\n");
}

TEST(TrainerStatistics, ReadSizesMostFrequentFirst) {
  const sizecount_t sizecount = {{4096, 3},  {1, 1},     {131072, 9}, {512, 3}, {8192, 1},
                                 {16384, 2}, {65536, 4}, {2, 1},      {3, 1}};
  const std::vector<read_size_count_t> sizes = sort_by_count_desc(sizecount);
  EXPECT_EQ(sizes, (std::vector<read_size_count_t>{{131072, 9},
                                                   {65536, 4},
                                                   {512, 3},
                                                   {4096, 3},
                                                   {16384, 2},
                                                   {1, 1},
                                                   {2, 1},
                                                   {3, 1},
                                                   {8192, 1}}));
  StreamCapture capture;
  print_blocksize_stats(sizes);
  EXPECT_EQ(capture.out(),
            "INFO: Most frequent read block sizes (size vs count):\n   131072\t9\n   65536\t4\n"
            "   512\t3\n   4096\t3\n   16384\t2\n   1\t1\n   2\t1\n");
}

}  // namespace
}  // namespace quarnix::testing
