// The pieces of on-demand materialization without a mount: block counts,
// range tests, the request records and the assembly of notifications.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "daemon/daemon_state.hpp"
#include "materialize/notification_reader.hpp"
#include "materialize/placeholders.hpp"
#include "support/unique_fd.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

constexpr int64_t mib = 1 << 20;

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  UniqueFd read_end;
  UniqueFd write_end;
};

class MaterializeTest : public ::testing::Test {
 protected:
  MaterializeTest() {
    state.source = "/src";
    state.download_blocksize = 10 * mib;
  }
  ~MaterializeTest() override {
    state.mat_records.clear();
    request_channel().redirect(STDOUT_FILENO);
  }

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

TEST_F(MaterializeTest, RequestsAreWholeRecordsForEachMissingBlock) {
  InodeRecord inode;
  inode.dev = 7;
  inode.ino = 6;
  inode.mat_record = &mark("/src/dir/f", 6, 25 * mib);
  inode.mat_record->materialized[2] = true;
  Pipe pipe;
  request_channel().redirect(pipe.write_end.get());

  EXPECT_EQ(inode.request_range(10 * mib - 1, 2), 2);
  EXPECT_EQ(inode.request_range(20 * mib, 5 * mib), 0);
  EXPECT_EQ(inode.request_range(40 * mib, 10), 0);
  EXPECT_EQ(inode.request_block(2, 1), 0);
  char records[3 * 45];
  ASSERT_EQ(::read(pipe.read_end.get(), records, sizeof records), 3 * 45);
  for (int i = 0; i < 3; ++i) {
    const char* record = records + i * 45;
    int32_t type;
    uint64_t fields[4];
    std::memcpy(&type, record, 4);
    std::memcpy(fields, record + 8, sizeof fields);
    EXPECT_EQ(type, i == 2 ? 1 : 0);
    EXPECT_EQ(fields[0], 7u);
    EXPECT_EQ(fields[1], 6u);
    EXPECT_EQ(fields[2], i == 2 ? 2u : static_cast<uint64_t>(i));
    EXPECT_EQ(fields[3], 5u);
    EXPECT_EQ(std::string(record + 40, 5), "dir/f");
  }

  pipe.read_end.reset();
  ::signal(SIGPIPE, SIG_IGN);
  StreamCapture capture;
  EXPECT_EQ(inode.request_range(0, 1), -EPIPE);
  request_channel().close();
  EXPECT_EQ(inode.request_block(0, 0), EIO);
}

TEST(NotificationReaderTest, AssemblesRecordsFromPiecesAndStops) {
  Pipe input;
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
  NotificationReader reader(input.read_end.get(), stop.get());
  char record[32] = {};
  const int32_t type = 1;
  const uint64_t ino = 42, block = 3;
  std::memcpy(record, &type, 4);
  std::memcpy(record + 16, &ino, 8);
  std::memcpy(record + 24, &block, 8);
  ASSERT_EQ(::write(input.write_end.get(), record, 5), 5);
  ASSERT_EQ(::write(input.write_end.get(), record + 5, 27), 27);
  ASSERT_EQ(::write(input.write_end.get(), record, 32), 32);
  for (int i = 0; i < 2; ++i) {
    const std::optional<mat_notify> notify = reader.next();
    ASSERT_TRUE(notify);
    EXPECT_EQ(notify->type, 1);
    EXPECT_EQ(notify->ino, 42u);
    EXPECT_EQ(notify->block, 3u);
  }
  const uint64_t one = 1;
  ASSERT_EQ(::write(stop.get(), &one, sizeof one), 8);
  EXPECT_FALSE(reader.next());
  EXPECT_TRUE(reader.stopped());
}

TEST(NotificationReaderTest, RecordCutOffByTheEndIsDropped) {
  Pipe input;
  UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
  NotificationReader reader(input.read_end.get(), stop.get());
  ASSERT_EQ(::write(input.write_end.get(), "short", 5), 5);
  input.write_end.reset();
  StreamCapture capture;
  EXPECT_FALSE(reader.next());
  EXPECT_FALSE(reader.stopped());
  EXPECT_EQ(capture.err(),
            "ERROR: input_loop(): short read from stdin, expected 32 bytes, got 5\n");
}

}  // namespace
}  // namespace quarnix::testing
