// The block bits of on-demand materialization without a mount: how many a
// placeholder gets and which ranges they let through.
#include <gtest/gtest.h>

#include "daemon/daemon_state.hpp"
#include "daemon/materialization_placeholders.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

constexpr int64_t mib = 1 << 20;

class MaterializeTest : public ::testing::Test {
 protected:
  MaterializeTest() {
    state.source = "/src";
    state.download_blocksize = 10 * mib;
  }
  ~MaterializeTest() override { state.mat_records.clear(); }

  MaterializationRecord& mark(const char* path, uint64_t ino, int64_t size) {
    struct stat attr {};
    attr.st_mode = S_IFREG | 0644;
    attr.st_ino = ino;
    attr.st_size = size;
    StreamCapture capture;
    EXPECT_EQ(mark_unmaterialized(path, &attr, FTW_F, nullptr), 0);
    return state.mat_records.at(ino);
  }
};

TEST_F(MaterializeTest, PlaceholdersGetOneBitPerDownloadBlock) {
  EXPECT_EQ(mark("/src/big", 2, 25 * mib).materialized.size(), 3u);
  EXPECT_EQ(state.mat_records[2].path, "big");
  EXPECT_EQ(mark("/src/dir/exact", 3, 20 * mib).missing, 2u);
  struct stat empty {};
  empty.st_mode = S_IFREG | 0644;
  EXPECT_EQ(mark_unmaterialized("/src/empty", &empty, FTW_F, nullptr), 0);
  struct stat directory {};
  directory.st_mode = S_IFDIR | 0755;
  directory.st_size = 4096;
  EXPECT_EQ(mark_unmaterialized("/src/dir", &directory, FTW_D, nullptr), 0);
  EXPECT_EQ(state.mat_records.size(), 2u);

  // Marking again keeps the bits that are set, and counts only the others.
  state.mat_records[2].materialized[0] = true;
  EXPECT_EQ(mark("/src/big", 2, 35 * mib).missing, 3u);
}

TEST_F(MaterializeTest, RangesCountBlocksPastTheEndAsPresent) {
  MaterializationRecord& record = mark("/src/f", 5, 25 * mib);
  record.materialized[0] = true;
  record.missing = 2;
  EXPECT_TRUE(record.range_materialized(0, 10 * mib));
  EXPECT_FALSE(record.range_materialized(10 * mib - 1, 2));
  EXPECT_TRUE(record.range_materialized(30 * mib, 4096));
  EXPECT_TRUE(record.range_materialized(12 * mib, 0));
  record.missing = 0;
  EXPECT_TRUE(record.range_materialized(10 * mib, 1));
}

TEST_F(MaterializeTest, SizeChangesEndTheBlocksPastTheNewSize) {
  MaterializationRecord& record = mark("/src/f", 6, 25 * mib);
  record.materialized[1] = true;
  record.missing = 2;
  EXPECT_EQ(record.first_missing_from(0), 0u);
  EXPECT_EQ(record.first_missing_from(12 * mib), 2u);
  EXPECT_EQ(record.first_missing_from(30 * mib), std::nullopt);
  struct Case {
    uint64_t size;
    std::size_t blocks;
    uint64_t missing;
  };
  // A block asked for counts until each request has its notification, from
  // the new end on.
  record.mark_requested(2);
  record.mark_requested(2);
  EXPECT_TRUE(record.requested_from(0));
  EXPECT_TRUE(record.requested_from(29 * mib));
  EXPECT_FALSE(record.requested_from(30 * mib));
  EXPECT_TRUE(record.mark_present(2));
  EXPECT_TRUE(record.requested_from(0));
  EXPECT_TRUE(record.mark_present(2));
  EXPECT_FALSE(record.requested_from(0));
  EXPECT_FALSE(record.mark_present(3));
  record.materialized[2] = false;
  record.missing = 2;
  // Growing adds no missing block; a block the size cuts keeps its state.
  for (const Case& change :
       {Case{30 * mib, 3, 2}, Case{12 * mib, 2, 1}, Case{20 * mib, 2, 1}, Case{0, 0, 0}}) {
    record.end_at(change.size);
    EXPECT_EQ(record.materialized.size(), change.blocks) << change.size;
    EXPECT_EQ(record.missing, change.missing) << change.size;
  }
}

}  // namespace
}  // namespace quarnix::testing
