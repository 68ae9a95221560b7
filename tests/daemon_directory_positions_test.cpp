// The offsets of a directory's listings: each leads back to one stream
// position, and a directory whose names come and go keeps a bounded number.
#include <gtest/gtest.h>

#include <cstdint>

#include "daemon/directory_positions.hpp"

namespace quarnix {
namespace {

TEST(DirectoryPositions, OffsetsThatFoldAlikeStayApart) {
  struct Case {
    int64_t position;
    uint32_t offset;
  };
  DirectoryPositions positions;
  // 1 << 32 | 7 and 2 << 32 | 4 fold to 6 as 6 does; 1 << 32 | 1 folds to 0,
  // which stands for the start, and so takes its high half.
  const Case cases[] = {{6, 6}, {(int64_t{1} << 32) | 7, 7}, {(int64_t{2} << 32) | 4, 8},
                        {8, 9}, {(int64_t{1} << 32) | 1, 1}, {1, 2},
                        {6, 6}};
  for (const Case& c : cases)
    EXPECT_EQ(positions.hand_out(c.position), c.offset) << c.position;
  for (const Case& c : cases)
    EXPECT_EQ(positions.find(c.offset), c.position) << c.offset;
  EXPECT_FALSE(positions.find(10).has_value());
}

// The first listing of a large directory, in replies of 100 entries: every
// offset it hands out is found again while it goes on.
TEST(DirectoryPositions, AListingUnderWayKeepsEveryOffset) {
  constexpr int64_t entries = 5000;
  DirectoryPositions positions;
  for (int64_t position = 1; position <= entries; ++position) {
    ASSERT_EQ(positions.hand_out(position), position);
    if (position % 100 == 0) positions.listed_from_start(static_cast<std::size_t>(position));
  }
  for (int64_t position = 1; position <= entries; ++position)
    ASSERT_EQ(positions.find(static_cast<uint32_t>(position)), position);
}

TEST(DirectoryPositions, NamesComingAndGoingForHoursKeepItBounded) {
  constexpr int64_t stable = 3000;
  DirectoryPositions positions;
  int64_t next_new = stable + 1;
  for (int listing = 0; listing < 300; ++listing) {
    for (int64_t position = 1; position <= stable; ++position)
      ASSERT_EQ(positions.hand_out(position), position);
    positions.listed_from_start(stable);
    // Names made and removed between two listings take ever new positions.
    for (int i = 0; i < 1000; ++i)
      positions.hand_out(next_new++);
    ASSERT_LE(positions.remembered(), 4 * stable);
  }
  for (int64_t position = 1; position <= stable; ++position)
    EXPECT_EQ(positions.find(static_cast<uint32_t>(position)), position);
}

}  // namespace
}  // namespace quarnix
