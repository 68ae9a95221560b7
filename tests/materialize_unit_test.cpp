// The block bits of on-demand materialization without a mount: how many a
// placeholder gets and which ranges they let through.
#include <gtest/gtest.h>

#include <functional>

#include "daemon/daemon_state.hpp"
#include "daemon/materialization_placeholders.hpp"
#include "materialize/request_account.hpp"
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
  EXPECT_TRUE(record.mark_present(2));
  EXPECT_EQ(record.missing, 1u);
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

// One account of the requests of a block: queued ones are owed but answered
// by nothing until written; a forgiven file waits for nothing but still has
// its answers taken.
TEST(RequestAccount, OwesWhatIsQueuedOrUnansweredAndAnswersOnlyWhatWasWritten) {
  RequestAccount account;
  account.queued(7, 2);
  account.queued(7, 2);
  account.queued(8, 0);
  struct Step {
    const char* what;
    std::function<bool()> call;
    bool result;
  };
  const std::vector<Step> steps = {
      {"a queued request is owed", [&] { return account.owed_from(7, 0); }, true},
      {"owed only where it is", [&] { return account.owed_between(7, 3, 9); }, false},
      {"a notification before the write answers none", [&] { return account.answer(7, 2); }, false},
      {"and leaves it owed", [&] { return account.owed_between(7, 2, 2); }, true},
      {"written",
       [&] {
         account.written(7, 2);
         return account.awaits_answer(7, 2);
       },
       true},
      {"its answer", [&] { return account.answer(7, 2); }, true},
      {"the second is still queued", [&] { return account.owed_from(7, 2); }, true},
      {"dropped unwritten",
       [&] {
         account.dropped(7, 2);
         return account.owed_from(7, 0);
       },
       false},
      {"another inode keeps its own", [&] { return account.owed_from(8, 0); }, true},
      {"forgiven",
       [&] {
         account.written(8, 0);
         account.forgive(8);
         return account.owed_from(8, 0);
       },
       false},
      {"a forgiven answer is still one", [&] { return account.answer(8, 0); }, true},
      {"once", [&] { return account.answer(8, 0); }, false},
      {"cleared",
       [&] {
         account.queued(9, 1);
         account.clear();
         return account.owed_from(9, 0);
       },
       false},
  };
  for (const Step& step : steps)
    EXPECT_EQ(step.call(), step.result) << step.what;
}

}  // namespace
}  // namespace quarnix::testing
