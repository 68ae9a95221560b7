#include <gtest/gtest.h>

#include "readahead/readahead_state.hpp"
#include "readahead/readahead_stats.hpp"

namespace quarnix::testing {
namespace {

// The state's template needs only a movable handle.
using test_state = abstract_readahead_state_t<int>;

TEST(ReadaheadStateTest, FreshStateIsEmpty) {
  test_state readahead;
  EXPECT_EQ(readahead.cursor.root, &readahead.root);
  EXPECT_TRUE(readahead.cursor.nodes.empty());
  EXPECT_TRUE(readahead.prefetched.empty());
  EXPECT_EQ(readahead.handles.capacity, 63u);
  EXPECT_EQ(format_readahead_stats(readahead), format_readahead_stats(readahead_stats_t{}));
}

TEST(ReadaheadStateTest, GetPathByHashFindsTheProfilePath) {
  test_state readahead;
  readahead.files[hash_path("dir/file")] = "dir/file";
  EXPECT_EQ(get_path_by_hash(readahead, block_id_t("dir/file", 3)), "dir/file");
  EXPECT_THROW(get_path_by_hash(readahead, block_id_t("other", 3)), std::out_of_range);
}

TEST(ReadaheadStatsTest, FormatsTheSixLines) {
  test_state readahead;
  readahead.total_predictions = 10;
  readahead.hits_not_prefetched = 2;
  readahead.first_hits = 4;
  readahead.hits = 7;
  readahead.expected_first_hits = 6.4;
  readahead.expected_hits = 9.25;
  EXPECT_EQ(format_readahead_stats(readahead),
            "INFO: Read-ahead stats:\n"
            "      10 total predictions\n"
            "       6 expected first hits\n"
            "       9 expected hits\n"
            "       4 first hits (62.50% of expected, 40.00% of total)\n"
            "       7 hits (75.68% of expected, 70.00% of total)\n"
            "       2 hits not pre-fetched in time (28.57%)\n");
}

TEST(ReadaheadStatsTest, ZeroDivisorsPrintAsTheStreamPrintsThem) {
  // x86's division of zero by zero gives a NaN with the sign bit set.
  EXPECT_EQ(format_readahead_stats(readahead_stats_t{}),
            "INFO: Read-ahead stats:\n"
            "       0 total predictions\n"
            "       0 expected first hits\n"
            "       0 expected hits\n"
            "       0 first hits (-nan% of expected, -nan% of total)\n"
            "       0 hits (-nan% of expected, -nan% of total)\n"
            "       0 hits not pre-fetched in time (-nan%)\n");
  readahead_stats_t no_first_hit_expected;
  no_first_hit_expected.total_predictions = 1;
  no_first_hit_expected.first_hits = 1;
  no_first_hit_expected.hits = 1;
  EXPECT_NE(format_readahead_stats(no_first_hit_expected)
                .find("       1 first hits (inf% of expected, 100.00% of total)\n"),
            std::string::npos);
}

}  // namespace
}  // namespace quarnix::testing
