// What the peer owes, through the real daemon and the tests' peer: every
// request is answered by a notification of its own, after the peer wrote the
// block into the source file; writes and size changes wait for those writes,
// and every answer is found again after stray bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "tests/fixtures/materialization_peer.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t block_size = 131072;

// A read that the kernel sends as it is made, without read-ahead.
FileCall pread_random(MaterializationPeer& peer, const fs::path& path, uint64_t off,
                      std::size_t size) {
  auto data = std::make_shared<std::string>(size, '\0');
  BackgroundCall& call = peer.in_background([=] {
    const int fd = ::open(path.c_str(), O_RDONLY);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    const ssize_t result = ::pread(fd, data->data(), size, static_cast<off_t>(off));
    ::close(fd);
    return result;
  });
  return {call, data};
}

// Two reads of one block ask for it twice; the peer answers the first, and
// its answer to the second, a copy of the block over the source file, comes
// after a write of that block: the write waits for it and is kept, through
// the kernel's write-back as well, and so is what a later truncation keeps.
TEST(MaterializationAnswers, AWriteWaitsForEveryAnswerOwedForItsBlock) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool truncated = false;
  };
  const std::vector<Case> cases = {
      {"direct", {"--log-all"}}, {"write-back", {}}, {"then truncated", {"--log-all"}, true}};
  const std::string written = "hello world";
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    MountGround ground;
    std::string expected;
    {
      MaterializationPeer peer(ground, block_size);
      peer.add_placeholder("w", random_bytes(block_size, 70));
      ASSERT_TRUE(peer.start(test_case.options));
      const fs::path w = ground.mountpoint / "w";
      FileCall first = pread_random(peer, w, 0, 10);
      FileCall second = pread_random(peer, w, block_size / 2, 10);
      const std::vector<MatRequest> requests = take_requests(peer, "w", 0, 2);
      ASSERT_EQ(requests.size(), 2u);
      peer.serve(requests[0]);
      EXPECT_EQ(first.call.result(), 10);
      EXPECT_EQ(second.call.result(), 10);
      BackgroundCall& write = peer.in_background([w, written] {
        const int fd = ::open(w.c_str(), O_WRONLY);
        const bool done = ::pwrite(fd, written.data(), written.size(), 100) ==
                              static_cast<ssize_t>(written.size()) &&
                          ::fsync(fd) == 0;
        return ::close(fd) == 0 && done ? 0 : -1;
      });
      EXPECT_FALSE(write.finished_within(no_answer)) << "the write went before the answer owed";
      peer.serve(requests[1]);
      EXPECT_EQ(write.result(), 0);
      expected = peer.contents("w");
      expected.replace(100, written.size(), written);
      if (test_case.truncated) {
        EXPECT_EQ(::truncate(w.c_str(), block_size / 2), 0);
        expected.resize(block_size / 2);
      }
      EXPECT_EQ(peer.requests_seen(), 2u);
      EXPECT_EQ(peer.unmount_and_wait(), 0);
    }
    EXPECT_TRUE(read_file(ground.source / "w") == expected);
    QuarnixMount plain(ground.source, ground.mountpoint);
    ASSERT_TRUE(plain.started());
    EXPECT_TRUE(read_file(ground.mountpoint / "w") == expected);
  }
}

// A peer may put a block in place and notify before it has read the request:
// that notification brings the block but answers no request, and the one
// still queued behind a full pipe is owed until its own answer, which would
// otherwise grow a truncated file back.
TEST(MaterializationAnswers, ANotificationBeforeItsRequestAnswersNone) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  const std::string filler = pipe_filling_path();
  // More requests than the pipe holds, also after the one read the peer may
  // make before it stops: the request of g stays queued behind them.
  constexpr uint64_t filler_blocks = 20;
  peer.add_placeholder(filler, random_bytes(filler_blocks * block_size, 80));
  peer.add_placeholder("g", random_bytes(block_size, 81));
  // One worker: a lookup answered tells that every read before it has queued
  // its requests.
  ASSERT_TRUE(peer.start({"--log-all", "--single", "--v", "4"}));
  peer.stop_reading();
  const auto reached = [&](const std::string& read_line, std::size_t count) {
    return holds_within(
        [&] { return occurrences(peer.mount().process().err(), read_line) >= count; });
  };
  std::vector<FileCall> filling;
  for (uint64_t block = 0; block < filler_blocks; ++block)
    filling.push_back(
        pread_in_background(peer, ground.mountpoint / filler, block * block_size, 10));
  ASSERT_TRUE(reached("size=10, off=", filler_blocks)) << "the reads never reached the daemon";
  EXPECT_FALSE(fs::exists(ground.mountpoint / "absent"));
  const fs::path g = ground.mountpoint / "g";
  FileCall read = pread_in_background(peer, g, 0, 7);
  ASSERT_TRUE(reached("size=7, off=0) from", 1)) << "the read never reached the daemon";
  EXPECT_FALSE(fs::exists(ground.mountpoint / "absent too"));

  peer.store_block("g", 0);
  peer.notify(inode_of(ground.source / "g"), 0, 0);
  EXPECT_EQ(read.call.result(), 7);
  EXPECT_EQ(*read.data, peer.contents("g").substr(0, 7));
  BackgroundCall& emptied = peer.in_background([g] { return ::truncate(g.c_str(), 0); });
  EXPECT_FALSE(emptied.finished_within(no_answer)) << "the queued request counted as answered";
  peer.serve_automatically();
  peer.resume_reading();
  EXPECT_EQ(emptied.result(), 0);
  for (FileCall& call : filling)
    EXPECT_EQ(call.call.result(), 10);
  EXPECT_EQ(fs::file_size(g), 0u);
  EXPECT_EQ(peer.requests_seen(), filler_blocks + 1);
  EXPECT_EQ(peer.unmount_and_wait(), 0);
  EXPECT_EQ(fs::file_size(ground.source / "g"), 0u);
}

// Five stray bytes, then 3,000 notifications, more than a pipe holds: reads of
// the daemon end inside the peer's write, and still every notification after
// the stray bytes is found and completes its read with the true bytes. The
// same with the stray bytes in a write of their own.
TEST(MaterializationAnswers, EveryAnswerAfterStrayBytesIsFoundHoweverTheWriteIsSplit) {
  constexpr uint64_t small_block = 4096;
  constexpr uint64_t blocks_per_read = 30;
  constexpr uint64_t reads = 100;
  constexpr uint64_t read_size = blocks_per_read * small_block;
  for (const bool own_write : {false, true}) {
    SCOPED_TRACE(own_write ? "stray bytes alone" : "stray bytes in the same write");
    MountGround ground;
    MaterializationPeer peer(ground, small_block);
    peer.add_placeholder("many", random_bytes(reads * read_size, 90));
    ASSERT_TRUE(peer.start({"--log-all"}));
    const fs::path many = ground.mountpoint / "many";
    std::vector<FileCall> calls;
    for (uint64_t i = 0; i < reads; ++i)
      calls.push_back(pread_in_background(peer, many, i * read_size, read_size));
    const std::vector<MatRequest> requests =
        take_requests(peer, "many", 0, reads * blocks_per_read);
    ASSERT_EQ(requests.size(), reads * blocks_per_read);
    std::string notifications = own_write ? "" : "hello";
    for (const MatRequest& request : requests) {
      peer.store_block("many", request.block);
      notifications += notification_bytes(request.ino, request.block, 0);
    }
    if (own_write) peer.send_raw("hello");
    peer.send_raw(notifications);
    const std::string& truth = peer.contents("many");
    for (uint64_t i = 0; i < reads; ++i) {
      EXPECT_EQ(calls[i].call.result(), ssize_t(read_size)) << i;
      EXPECT_TRUE(*calls[i].data == truth.substr(i * read_size, read_size)) << i;
    }
    EXPECT_EQ(peer.unmount_and_wait(), 0);
    EXPECT_EQ(occurrences(peer.mount().process().err(), "skipped 5 bytes"), 1u)
        << peer.mount().process().err();
  }
}

}  // namespace
}  // namespace quarnix::testing
