// On-demand materialization through the real daemon and the tests' peer:
// operations on missing download blocks wait for the peer's notifications.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "profile/profile_file.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/materialization_peer.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr uint64_t block_size = 131072;  // the download block size, also the cache's

std::multiset<uint64_t> blocks_of(const std::vector<MatRequest>& requests) {
  std::multiset<uint64_t> blocks;
  for (const MatRequest& request : requests)
    blocks.insert(request.block);
  return blocks;
}

struct PeerSetup {
  std::vector<std::string> options;
  PeerChannel channel = PeerChannel::pipes;
};

void PrintTo(const PeerSetup& setup, std::ostream* out) {
  *out << (setup.channel == PeerChannel::socket ? "socket" : "pipes");
  for (const std::string& option : setup.options)
    *out << " " << option;
}

// --log-all turns the kernel's read-ahead and page cache off: every call
// reaches the daemon as it was made.
class Materialization : public ::testing::TestWithParam<PeerSetup> {};

TEST_P(Materialization, ReadsWaitForTheirBlocksAndGetTheTrueBytes) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("a", random_bytes(2 * block_size + 100, 1));
  peer.add_placeholder("dir/b", "b");
  write_file(ground.source / "empty", "");
  fs::create_symlink("a", ground.source / "link");
  std::vector<std::string> options{"--log-all"};
  options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
  ASSERT_TRUE(peer.start(options, {}, GetParam().channel)) << peer.mount().process().err();
  const fs::path a = ground.mountpoint / "a";
  const std::string& truth = peer.contents("a");

  // Two bytes across the first block boundary need blocks 0 and 1.
  FileCall straddling = pread_in_background(peer, a, block_size - 1, 2);
  std::optional<MatRequest> first = peer.next_request();
  std::optional<MatRequest> second = peer.next_request();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->block + second->block, 1u);
  EXPECT_EQ(fs::file_size(ground.source / "a"), truth.size());
  peer.serve(*first);
  EXPECT_FALSE(straddling.call.finished_within(no_answer));
  peer.serve(*second);
  EXPECT_EQ(straddling.call.result(), 2);
  EXPECT_EQ(*straddling.data, truth.substr(block_size - 1, 2));

  // Two readers of one block: two requests, one notification completes both.
  FileCall reader1 = pread_in_background(peer, a, 2 * block_size, 100);
  FileCall reader2 = pread_in_background(peer, a, 2 * block_size + 50, 50);
  EXPECT_EQ(blocks_of(take_requests(peer, "a", 0, 2)), (std::multiset<uint64_t>{2, 2}));
  EXPECT_FALSE(reader1.call.finished_within(no_answer));
  peer.store_block("a", 2);
  peer.notify(first->ino, 2, 0);
  EXPECT_EQ(reader1.call.result(), 100);
  EXPECT_EQ(reader2.call.result(), 50);
  EXPECT_EQ(*reader1.data, truth.substr(2 * block_size));
  EXPECT_EQ(*reader2.data, truth.substr(2 * block_size + 50));

  // Present blocks, empty files and links need nobody.
  EXPECT_EQ(read_file(a), truth);
  EXPECT_EQ(read_file(ground.mountpoint / "empty"), "");
  EXPECT_EQ(fs::read_symlink(ground.mountpoint / "link"), "a");
  EXPECT_EQ(peer.requests_seen(), 4u);
  peer.serve_automatically();
  EXPECT_EQ(read_file(ground.mountpoint / "dir/b"), "b");

  EXPECT_EQ(peer.unmount_and_wait(), 0);
  const std::string err = peer.mount().process().err();
  const std::string marking = "DEBUG(0): DEBUG: Marking " + fs::canonical(ground.source).string() +
                              "/a as not materialized (3 blocks)\n";
  EXPECT_NE(err.find(marking), std::string::npos) << err;
  if (GetParam().options.empty())
    EXPECT_NE(err.find("INFO: Found 2 placeholders\n"), std::string::npos) << err;
  else
    EXPECT_EQ(err.rfind("WARNING: All dentries will be non-materialized on creation.\n", 0), 0u)
        << err;
}

// A socket on standard input and output takes the requests as pipes do.
INSTANTIATE_TEST_SUITE_P(Marking, Materialization,
                         ::testing::Values(PeerSetup{}, PeerSetup{{"--forgetmat"}},
                                           PeerSetup{{}, PeerChannel::socket}));

TEST(MaterializationWaits, WriteLandsOnTheServedData) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("w", random_bytes(2 * block_size + 10, 3));
  ASSERT_TRUE(peer.start({"--log-all"}));
  BackgroundCall& write =
      pwrite_in_background(peer, ground.mountpoint / "w", block_size + 5, "0123456789");
  const std::vector<MatRequest> requests = take_requests(peer, "w", 0, 1);
  ASSERT_EQ(blocks_of(requests), (std::multiset<uint64_t>{1}));
  EXPECT_FALSE(write.finished_within(no_answer));
  peer.serve(requests[0]);
  EXPECT_EQ(write.result(), 10);
  std::string expected = peer.contents("w");
  expected.replace(block_size + 5, 10, "0123456789");
  EXPECT_EQ(read_file(ground.source / "w").substr(block_size, block_size),
            expected.substr(block_size, block_size));
  peer.serve_automatically();
  EXPECT_EQ(read_file(ground.mountpoint / "w"), expected);
}

TEST(MaterializationWaits, SizeChangeWaitsForItsTypeOneNotification) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("t", random_bytes(3 * block_size, 4));
  ASSERT_TRUE(peer.start({"--log-all"}));
  const fs::path t = ground.mountpoint / "t";
  BackgroundCall& shrink =
      peer.in_background([t] { return ::truncate(t.c_str(), block_size + 7); });
  const std::optional<MatRequest> request = peer.next_request();
  ASSERT_TRUE(request);
  EXPECT_EQ(request->type, 1);
  EXPECT_EQ(request->block, 1u);
  // A type-0 notification brings the block but not the size change.
  peer.serve(*request, 0);
  EXPECT_FALSE(shrink.finished_within(no_answer));
  peer.notify(request->ino, 1, 1);
  EXPECT_EQ(shrink.result(), 0);
  EXPECT_EQ(read_file(ground.source / "t").substr(block_size),
            peer.contents("t").substr(block_size, 7));
  // From the new end on every block is present: growing goes at once.
  EXPECT_EQ(::truncate(t.c_str(), 5 * block_size), 0);
  EXPECT_EQ(fs::file_size(ground.source / "t"), 5 * block_size);
  EXPECT_EQ(peer.requests_seen(), 1u);
}

// Notifications that name no placeholder block are reported once for each
// kind of fault; the records after them, shifted by stray bytes or cut into
// pieces, are found again and complete the reads that wait for them.
TEST(MaterializationFaults, BadNotificationsNeitherCrashNorCorrupt) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("p", random_bytes(3 * block_size, 5));
  ASSERT_TRUE(peer.start({"--log-all"}));
  const fs::path p = ground.mountpoint / "p";
  const std::string& truth = peer.contents("p");

  FileCall read0 = pread_in_background(peer, p, 0, 10);
  const std::optional<MatRequest> request = peer.next_request();
  ASSERT_TRUE(request);
  peer.store_block("p", 0);
  peer.notify(request->ino + 1000000, 0, 0);  // no such inode
  peer.notify(request->ino, 3, 0);            // past the end of the file
  peer.notify(request->ino, uint64_t{1} << 40, 1);
  EXPECT_FALSE(read0.call.finished_within(no_answer));
  // A record that arrives in pieces counts once it is whole.
  const auto record_of = [&](uint64_t block) {
    std::string record(32, '\0');
    std::memcpy(record.data() + 16, &request->ino, sizeof request->ino);
    std::memcpy(record.data() + 24, &block, sizeof block);
    return record;
  };
  peer.send_raw(record_of(0).substr(0, 5));
  EXPECT_FALSE(read0.call.finished_within(no_answer));
  peer.send_raw(record_of(0).substr(5));
  EXPECT_EQ(read0.call.result(), 10);
  EXPECT_EQ(*read0.data, truth.substr(0, 10));

  // Stray bytes shift the records after them.
  FileCall read1 = pread_in_background(peer, p, block_size, 10);
  ASSERT_TRUE(peer.next_request());
  peer.store_block("p", 1);
  peer.send_raw("hello" + record_of(1));
  EXPECT_EQ(read1.call.result(), 10);
  EXPECT_EQ(*read1.data, truth.substr(block_size, 10));

  // The input ends inside a record: parked and later calls on missing blocks fail.
  FileCall read2 = pread_in_background(peer, p, 2 * block_size, 10);
  ASSERT_TRUE(peer.next_request());
  peer.send_raw(record_of(2).substr(0, 5));
  peer.close_input();
  EXPECT_EQ(read2.call.result(), -1);
  EXPECT_EQ(read2.call.error(), EIO);
  FileCall later = pread_in_background(peer, p, 2 * block_size, 10);
  EXPECT_EQ(later.call.result(), -1);
  EXPECT_EQ(later.call.error(), EIO);
  EXPECT_EQ(pwrite_in_background(peer, p, 2 * block_size, "x").result(), -1);
  EXPECT_EQ(::truncate(p.c_str(), 1), -1);
  EXPECT_EQ(errno, EIO);
  FileCall present = pread_in_background(peer, p, 5, 10);
  EXPECT_EQ(present.call.result(), 10);
  EXPECT_EQ(*present.data, truth.substr(5, 10));

  EXPECT_EQ(peer.unmount_and_wait(), 0);
  const std::string err = peer.mount().process().err();
  EXPECT_NE(err.find("ERROR: input_loop(): short read from stdin, expected 32 bytes, got 5\n"),
            std::string::npos)
      << err;
  // One line for the unknown inode, none for the records skipped after it,
  // one for the type the stray bytes made.
  EXPECT_EQ(occurrences(err, "ERROR: input_loop(): notification of type"), 2u) << err;
  EXPECT_EQ(occurrences(err, "is no placeholder"), 1u) << err;
  EXPECT_EQ(occurrences(err, "type other than 0 and 1"), 1u) << err;
  EXPECT_EQ(err.find("INTERNAL ERROR"), std::string::npos) << err;
  EXPECT_EQ(read_file(ground.source / "p").substr(0, 2 * block_size),
            truth.substr(0, 2 * block_size));
}

// On a tmpfs source, whose inode numbers are as small as block numbers: the
// answer owed for a file removed through the mount is taken without a fault,
// and a notification past the end of a file is a fault whose bytes, read at
// any offset, never mark a block of another file present; the correct
// notification after it still counts.
TEST(MaterializationFaults, LateAnswersAndBadRecordsMarkNoWrongBlock) {
  MountGround ground;
  TmpfsMount tmpfs(ground.source, "64m");
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("victim", random_bytes(3 * block_size, 60));
  const uint64_t victim = inode_of(ground.source / "victim");
  if (victim > 16) GTEST_SKIP() << "tmpfs gave inode " << victim << ", no block number";
  peer.add_placeholder("gone", random_bytes((victim + 1) * block_size, 61));
  peer.add_placeholder("other", random_bytes(2 * block_size, 62));
  const uint64_t gone_ino = inode_of(ground.source / "gone");
  const uint64_t other_ino = inode_of(ground.source / "other");
  ASSERT_TRUE(peer.start({"--log-all", "--v", "4"}));

  const fs::path gone = ground.mountpoint / "gone";
  FileCall first = pread_in_background(peer, gone, victim * block_size, 10);
  FileCall second = pread_in_background(peer, gone, victim * block_size + 5, 10);
  const std::vector<MatRequest> owed = take_requests(peer, "gone", 0, 2);
  ASSERT_EQ(owed.size(), 2u);
  peer.serve(owed[0]);
  EXPECT_EQ(first.call.result(), 10);
  EXPECT_EQ(second.call.result(), 10);
  ASSERT_EQ(::unlink(gone.c_str()), 0);
  ASSERT_TRUE(peer.mount().wait_for_forget(gone_ino));

  FileCall victim_read = pread_in_background(peer, ground.mountpoint / "victim", 0, 10);
  const std::vector<MatRequest> victim_request = take_requests(peer, "victim", 0, 1);
  FileCall other_read = pread_in_background(peer, ground.mountpoint / "other", 0, 10);
  const std::vector<MatRequest> other_request = take_requests(peer, "other", 0, 1);
  ASSERT_EQ(victim_request.size() + other_request.size(), 2u);
  peer.notify(gone_ino, victim, 0);
  peer.notify(other_ino, victim, 0);
  peer.serve(other_request[0]);
  EXPECT_EQ(other_read.call.result(), 10);
  EXPECT_EQ(*other_read.data, peer.contents("other").substr(0, 10));
  EXPECT_FALSE(victim_read.call.finished_within(no_answer)) << "a block never served counted";
  peer.serve(victim_request[0]);
  EXPECT_EQ(victim_read.call.result(), 10);
  EXPECT_EQ(*victim_read.data, peer.contents("victim").substr(0, 10));

  EXPECT_EQ(peer.unmount_and_wait(), 0);
  const std::string err = peer.mount().process().err();
  EXPECT_EQ(occurrences(err, "ERROR: input_loop(): notification of type"), 1u) << err;
  EXPECT_EQ(occurrences(err, "past the end"), 1u) << err;
}

TEST(MaterializationFaults, ShutdownAnswersParkedCalls) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("s", "contents");
  peer.add_placeholder("t", "truncated");
  ASSERT_TRUE(peer.start({"--log-all"}));
  // Files and directories still open when the session ends are freed by the
  // daemon itself: the kernel never releases them.
  const UniqueFd open_file(::open((ground.mountpoint / "s").c_str(), O_RDONLY));
  ASSERT_TRUE(open_file);
  const UniqueFd open_directory(::open(ground.mountpoint.c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(open_directory);
  FileCall parked = pread_in_background(peer, ground.mountpoint / "s", 0, 8);
  ASSERT_TRUE(peer.next_request());
  const fs::path t = ground.mountpoint / "t";
  BackgroundCall& truncating = peer.in_background([t] {
    const int fd = ::open(t.c_str(), O_WRONLY | O_TRUNC);
    const int error = errno;
    if (fd >= 0) ::close(fd);
    errno = error;
    return fd >= 0 ? 0 : -1;
  });
  ASSERT_TRUE(peer.next_request());
  // A signal that lands just before libfuse reads the device again is only seen
  // with the next one.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!parked.call.finished_within(milliseconds(500)) &&
         std::chrono::steady_clock::now() < deadline)
    peer.mount().process().signal(SIGTERM);
  EXPECT_EQ(parked.call.result(), -1);
  EXPECT_EQ(parked.call.error(), EIO);
  EXPECT_EQ(truncating.result(), -1);
  EXPECT_EQ(truncating.error(), EIO);
  EXPECT_EQ(exit_status(peer.mount().process().wait()), 1);
  EXPECT_EQ(peer.mount().process().err().find("INTERNAL ERROR"), std::string::npos);
}

// A peer that stops reading stalls only the operations that wait for its
// blocks; notifications are still taken, and SIGTERM still ends the daemon,
// answering the operations still parked with EIO.
TEST(MaterializationFaults, ASlowPeerStallsOnlyTheOperationsThatWaitForIt) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  const std::string path = pipe_filling_path();
  const std::size_t request_size = 40 + path.size();
  peer.add_placeholder(path, random_bytes(4 * block_size, 9));
  const std::string& truth = peer.contents(path);
  ASSERT_TRUE(peer.start({"--log-all"}));
  peer.stop_reading();
  const fs::path file = ground.mountpoint / path;
  // More waiting reads than the daemon has worker threads.
  std::vector<FileCall> reads;
  for (uint64_t i = 0; i < 24; ++i)
    reads.push_back(pread_in_background(peer, file, (i % 4) * block_size, 10));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (peer.unread_output() < 15 * request_size && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(5));
  ASSERT_GE(peer.unread_output(), 15 * request_size) << "the pipe to the peer never filled";

  const fs::path mountpoint = ground.mountpoint;
  BackgroundCall& unrelated = peer.in_background([mountpoint] {
    write_file(mountpoint / "plain", "hello");
    ssize_t entries = 0;
    for (const auto& entry : fs::directory_iterator(mountpoint))
      entries += entry.is_directory() || entry.is_regular_file() ? 1 : 0;
    return read_file(mountpoint / "plain") == "hello" ? entries : -1;
  });
  ASSERT_EQ(unrelated.result(), 2) << "an operation that needs no block waited for the peer";
  // The reads of block 0 complete; lookups go on meanwhile.
  peer.store_block(path, 0);
  peer.notify(inode_of(ground.source / path), 0, 0);
  for (uint64_t i = 0; i < reads.size(); i += 4) {
    EXPECT_EQ(reads[i].call.result(), 10) << i;
    EXPECT_EQ(*reads[i].data, truth.substr(0, 10));
  }
  BackgroundCall& lookup =
      peer.in_background([mountpoint] { return fs::exists(mountpoint / "absent") ? -1 : 0; });
  EXPECT_EQ(lookup.result(), 0);

  while (!reads[1].call.finished_within(milliseconds(500)) &&
         std::chrono::steady_clock::now() < deadline + std::chrono::seconds(20))
    peer.mount().process().signal(SIGTERM);
  for (uint64_t i = 0; i < reads.size(); ++i) {
    if (i % 4 == 0) continue;
    EXPECT_EQ(reads[i].call.result(), -1) << i;
    EXPECT_EQ(reads[i].call.error(), EIO) << i;
  }
  EXPECT_EQ(exit_status(peer.mount().process().wait()), 1);
}

// Reads parked in the daemon hold the kernel's background requests (its
// read-ahead); writeback and reads of other files must not queue behind them.
TEST(MaterializationFaults, ParkedReadsLeaveTheKernelRoomForOtherFiles) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  constexpr int readers = 32;
  for (int i = 0; i < readers; ++i)
    peer.add_placeholder("p" + std::to_string(i), random_bytes(block_size, i));
  ASSERT_TRUE(peer.start());
  std::vector<BackgroundCall*> parked;
  for (int i = 0; i < readers; ++i)
    parked.push_back(&peer.in_background(
        [path = ground.mountpoint / ("p" + std::to_string(i))] { return read_file(path).size(); }));
  ASSERT_TRUE(holds_within([&] { return peer.requests_seen() >= readers; }))
      << "the kernel's background limit kept readers from reaching the daemon";

  const fs::path plain = ground.mountpoint / "plain";
  BackgroundCall& unrelated = peer.in_background([plain] {
    write_file(plain, "hello");
    return read_file(plain) == "hello" ? 0 : -1;
  });
  EXPECT_TRUE(unrelated.finished_within(std::chrono::seconds(10)))
      << "writing and reading a file that needs no block waited for the peer";
  peer.serve_automatically();
  EXPECT_EQ(unrelated.result(), 0);
  // A reader still holding its file open would keep the unmount from ending.
  for (BackgroundCall* reader : parked)
    EXPECT_EQ(reader->result(), ssize_t(block_size));
  EXPECT_EQ(peer.unmount_and_wait(), 0) << peer.mount().process().err();
}

// The core dump of a crash report writes nothing into the request channel.
TEST(MaterializationFaults, CrashReportsKeepOffTheChannel) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("fail-copy", "x");
  const fs::path crashdir = ground.root / "crashes";
  fs::create_directories(crashdir);
  write_file(ground.root / "cache", std::string(16 * block_size, '\0'));
  ASSERT_TRUE(peer.start({"--log-all", "--cachefile", (ground.root / "cache").string(),
                          "--crashdir", crashdir.string()},
                         {std::string("LD_PRELOAD=") + FAIL_COPY_PRELOAD}));
  peer.serve_automatically();
  EXPECT_EQ(read_file(ground.mountpoint / "fail-copy"), "");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (files_ending_in(crashdir, ".core.gz").empty() &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(20));
  EXPECT_EQ(files_ending_in(crashdir, ".core.gz").size(), 1u);
  EXPECT_EQ(peer.unmount_and_wait(), 0);
}

// Whole trees behave like the true tree once every request is served, through
// the kernel's page cache and write-back, without splice and with the cache.
TEST(MaterializationServed, RandomReadsAndWritesMatchTheTrueContents) {
  for (const std::string variant : {"", "--nosplice", "--cachefile"}) {
    SCOPED_TRACE(variant);
    MountGround ground;
    MaterializationPeer peer(ground, block_size);
    std::string model = random_bytes(8 * block_size + 3, 6);
    peer.add_placeholder("f", model);
    std::vector<std::string> options;
    if (!variant.empty()) options.push_back(variant);
    if (variant == "--cachefile") {
      write_file(ground.root / "cache", std::string(16 * block_size, '\0'));
      options.push_back((ground.root / "cache").string());
    }
    ASSERT_TRUE(peer.start(options));
    peer.serve_automatically();
    const int fd = ::open((ground.mountpoint / "f").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    std::mt19937 generator(7);
    for (int round = 0; round < 30; ++round) {
      const std::size_t size = 1 + generator() % (2 * block_size);
      const std::size_t offset = generator() % (model.size() - size);
      std::string data = round % 3 == 0 ? random_bytes(size, round) : std::string(size, '\0');
      if (round % 3 == 0) {
        ASSERT_EQ(::pwrite(fd, data.data(), size, static_cast<off_t>(offset)),
                  static_cast<ssize_t>(size));
        model.replace(offset, size, data);
      } else {
        ASSERT_EQ(::pread(fd, data.data(), size, static_cast<off_t>(offset)),
                  static_cast<ssize_t>(size));
        ASSERT_EQ(data, model.substr(offset, size)) << "round " << round;
      }
    }
    ASSERT_EQ(::fsync(fd), 0);
    ::close(fd);
    EXPECT_EQ(read_file(ground.mountpoint / "f"), model);
    EXPECT_EQ(read_file(ground.source / "f"), model);
    EXPECT_EQ(peer.unmount_and_wait(), 0);
  }
}

// The read-ahead thread asks for the blocks it predicts but never waits for them.
TEST(MaterializationServed, ReadaheadRequestsButSkipsMissingBlocks) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("r", random_bytes(2 * block_size, 8));
  write_file(ground.root / "cache", std::string(16 * block_size, '\0'));
  BlockNode root;
  root.children[block_id_t("r", 0)].predictions = {{block_id_t("r", 1), 0.9}};
  write_profile((ground.root / "profile.ba").string(), ProfileSettings{false, block_size, 1},
                ProfilePaths{{hash_path("r"), "r"}}, root);
  ASSERT_TRUE(peer.start({"--log-all", "--v", "4", "--cachefile", (ground.root / "cache").string(),
                          "--readahead-profile", (ground.root / "profile.ba").string()}));
  FileCall read0 = pread_in_background(peer, ground.mountpoint / "r", 0, 10);
  const std::vector<MatRequest> requests = take_requests(peer, "r", 0, 2);
  EXPECT_EQ(blocks_of(requests), (std::multiset<uint64_t>{0, 1}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (peer.mount().process().err().find("not materialized yet, skipped") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(milliseconds(5));
  EXPECT_FALSE(read0.call.finished_within(no_answer));
  for (const MatRequest& request : requests)
    peer.serve(request);
  EXPECT_EQ(read0.call.result(), 10);
  EXPECT_EQ(read_file(ground.mountpoint / "r"), peer.contents("r"));
  EXPECT_EQ(peer.unmount_and_wait(), 0);
  const std::string err = peer.mount().process().err();
  EXPECT_NE(err.find("prefetch_block: block " + std::to_string(block_id_t("r", 1).value) +
                     " is not materialized yet, skipped"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
}

}  // namespace
}  // namespace quarnix::testing
