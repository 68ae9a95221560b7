// Size changes of placeholders through the real daemon and the tests' peer:
// truncations and truncating opens wait as the size changes they are, and
// end the materialization of the blocks they cut away.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/fixtures/materialization_peer.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

constexpr uint64_t block_size = 131072;

// The size change `call` asks for `block` of `path` with type 1 and waits for
// it; once the block is served it succeeds.
void serve_size_change(MaterializationPeer& peer, const std::string& path, uint64_t block,
                       BackgroundCall& call) {
  const std::vector<MatRequest> requests = take_requests(peer, path, 1, 1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].block, block);
  EXPECT_FALSE(call.finished_within(no_answer)) << "the size change did not wait for its block";
  peer.serve(requests[0]);
  EXPECT_EQ(call.result(), 0);
}

// After a size change the blocks past the new size are no longer missing, and
// growing the file again gives zeros there rather than the peer's bytes. A
// block past the new size that the peer was asked for before lands first: its
// write cannot grow the file back afterwards.
TEST(MaterializationSizes, SizeChangesEndTheBlocksPastTheNewSize) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("z", random_bytes(3 * block_size, 30));
  const uint64_t size = 2 * block_size + block_size / 2;
  peer.add_placeholder("t", random_bytes(size, 31));
  ASSERT_TRUE(peer.start({"--log-all"}));

  const fs::path z = ground.mountpoint / "z";
  FileCall waiting = pread_in_background(peer, z, 2 * block_size, 10);
  const std::vector<MatRequest> read_requests = take_requests(peer, "z", 0, 1);
  ASSERT_EQ(read_requests.size(), 1u);
  BackgroundCall& emptied = peer.in_background([z] {
    const int fd = ::open(z.c_str(), O_RDWR);
    const int result = ::ftruncate(fd, 0);
    ::close(fd);
    return result;
  });
  const std::vector<MatRequest> size_requests = take_requests(peer, "z", 1, 1);
  ASSERT_EQ(size_requests.size(), 1u);
  EXPECT_EQ(size_requests[0].block, 0u);
  peer.serve(size_requests[0]);
  EXPECT_FALSE(emptied.finished_within(no_answer)) << "the size change left block 2 outstanding";
  peer.serve(read_requests[0]);
  EXPECT_EQ(emptied.result(), 0);
  EXPECT_EQ(waiting.call.result(), 10);
  EXPECT_EQ(*waiting.data, peer.contents("z").substr(2 * block_size, 10));
  EXPECT_EQ(fs::file_size(ground.source / "z"), 0u);

  // Cut inside block 1, which is waited for; growing again waits for nothing.
  const fs::path t = ground.mountpoint / "t";
  const uint64_t cut = block_size + block_size / 5;
  BackgroundCall& shrunk = peer.in_background([t, cut] { return ::truncate(t.c_str(), cut); });
  serve_size_change(peer, "t", 1, shrunk);
  BackgroundCall& grown =
      peer.in_background([t, size] { return ::truncate(t.c_str(), static_cast<off_t>(size)); });
  EXPECT_EQ(grown.result(), 0);
  peer.serve_automatically();
  EXPECT_TRUE(read_whole(peer, t) ==
              peer.contents("t").substr(0, cut) + std::string(size - cut, '\0'));
  // Block 2 was never asked for again: only block 0 of t is, by the read.
  EXPECT_EQ(peer.requests_seen(), 4u);
  EXPECT_EQ(peer.unmount_and_wait(), 0);
}

// An open with O_TRUNC is the size change to 0 it is: it waits for the first
// missing block as a truncation would, and the file then holds exactly what
// was written, with and without the kernel's write-back cache; so does a
// create that finds a placeholder under its name. A create that fails once
// the peer has gone gives back the lookup it made, and the daemon lets go of
// the file.
TEST(MaterializationSizes, TruncatingOpensWaitAndLeaveOnlyWhatIsWritten) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    bool create;
    bool peer_leaves = false;
  };
  const std::vector<Case> cases = {{"open", {"--log-all"}, false},
                                   {"open with write-back", {}, false},
                                   {"create", {"--log-all", "--forgetmat"}, true},
                                   {"create left", {"--log-all", "--forgetmat"}, true, true}};
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    MountGround ground;
    MaterializationPeer peer(ground, block_size);
    if (!test_case.create) peer.add_placeholder("f", random_bytes(3 * block_size, 40));
    ASSERT_TRUE(peer.start(test_case.options));
    const fs::path f = ground.mountpoint / "f";
    if (test_case.create) {
      // The kernel keeps the name's absence, so the open below is a create.
      EXPECT_FALSE(fs::exists(f));
      peer.add_placeholder("f", random_bytes(3 * block_size, 40));
    }
    const std::string data = random_bytes(block_size + 5, 41);
    BackgroundCall& written = peer.in_background([f, data] {
      const int fd = ::open(f.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const bool done =
          fd >= 0 && ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
      return fd >= 0 && ::close(fd) == 0 && done ? 0 : -1;
    });
    if (test_case.peer_leaves) {
      ASSERT_EQ(take_requests(peer, "f", 1, 1).size(), 1u);
      peer.close_input();
      EXPECT_EQ(written.result(), -1);
      EXPECT_EQ(written.error(), EIO);
      const auto held = [&] {
        return descriptors_below(peer.mount().process().pid(), fs::canonical(ground.source / "f"));
      };
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (held() > 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
      EXPECT_EQ(held(), 0) << "the failed create kept its lookup";
      EXPECT_EQ(peer.unmount_and_wait(), 0);
      continue;
    }
    serve_size_change(peer, "f", 0, written);
    EXPECT_TRUE(read_file(ground.source / "f") == data);
    EXPECT_TRUE(read_whole(peer, f) == data);
    EXPECT_EQ(peer.requests_seen(), 1u);
    EXPECT_EQ(peer.unmount_and_wait(), 0);
  }
}

// Two reads of block 0 of `path` ask for it twice; the first answer completes
// both and leaves the second request owed, which is returned.
std::optional<MatRequest> ask_twice_answer_once(MaterializationPeer& peer, const fs::path& mounted,
                                                const std::string& path) {
  FileCall read1 = pread_in_background(peer, mounted, 0, 10);
  FileCall read2 = pread_in_background(peer, mounted, 5, 10);
  const std::vector<MatRequest> requests = take_requests(peer, path, 0, 2);
  if (requests.size() != 2) return std::nullopt;
  peer.serve(requests[0]);
  EXPECT_EQ(read1.call.result(), 10);
  EXPECT_EQ(read2.call.result(), 10);
  return requests[1];
}

// The peer answers each request, also a second one for a block it was asked
// for before: a truncation waits for every answer owed from its new end on,
// so that no late write grows the file back. With every block present (the
// second file) it still waits for the answer owed; once the peer has gone
// (the third), for none.
TEST(MaterializationSizes, ATruncationWaitsForEveryRequestOfABlock) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("r", random_bytes(4 * block_size, 50));
  peer.add_placeholder("one", random_bytes(block_size, 51));
  peer.add_placeholder("late", random_bytes(block_size, 52));
  peer.add_placeholder("witness", random_bytes(block_size, 53));
  ASSERT_TRUE(peer.start({"--log-all", "--v", "4"}));
  const fs::path r = ground.mountpoint / "r";
  FileCall first = pread_in_background(peer, r, 3 * block_size, 10);
  const std::vector<MatRequest> first_request = take_requests(peer, "r", 0, 1);
  BackgroundCall& emptied = peer.in_background([r] { return ::truncate(r.c_str(), 0); });
  const std::vector<MatRequest> size_request = take_requests(peer, "r", 1, 1);
  FileCall second = pread_in_background(peer, r, 3 * block_size, 10);
  const std::vector<MatRequest> second_request = take_requests(peer, "r", 0, 1);
  ASSERT_EQ(first_request.size() + size_request.size() + second_request.size(), 3u);
  EXPECT_EQ(second_request[0].block, 3u);
  peer.serve(first_request[0]);
  EXPECT_EQ(first.call.result(), 10);
  EXPECT_EQ(second.call.result(), 10);
  peer.serve(size_request[0]);
  EXPECT_FALSE(emptied.finished_within(no_answer)) << "a request for block 3 is still unanswered";
  peer.serve(second_request[0]);
  EXPECT_EQ(emptied.result(), 0);
  EXPECT_EQ(fs::file_size(r), 0u);

  const fs::path one = ground.mountpoint / "one";
  const std::optional<MatRequest> owed = ask_twice_answer_once(peer, one, "one");
  ASSERT_TRUE(owed);
  BackgroundCall& cut = peer.in_background([one] { return ::truncate(one.c_str(), 0); });
  EXPECT_FALSE(cut.finished_within(no_answer)) << "the truncation did not wait for an answer owed";
  peer.serve(*owed);
  EXPECT_EQ(cut.result(), 0);

  // Once the peer has gone nothing is owed any more, also for a file the
  // kernel had forgotten meanwhile.
  const fs::path late = ground.mountpoint / "late";
  ASSERT_TRUE(ask_twice_answer_once(peer, late, "late"));
  ASSERT_TRUE(peer.mount().wait_for_forget(inode_of(ground.source / "late")));
  // Failed with EIO once the daemon has seen the peer go.
  FileCall witness = pread_in_background(peer, ground.mountpoint / "witness", 0, 10);
  ASSERT_EQ(take_requests(peer, "witness", 0, 1).size(), 1u);
  peer.close_input();
  EXPECT_EQ(witness.call.result(), -1);
  BackgroundCall& emptied_late = peer.in_background([late] { return ::truncate(late.c_str(), 0); });
  EXPECT_EQ(emptied_late.result(), 0);

  EXPECT_EQ(peer.unmount_and_wait(), 0);
  EXPECT_EQ(fs::file_size(ground.source / "r"), 0u);
  EXPECT_EQ(fs::file_size(ground.source / "one"), 0u);
}

}  // namespace
}  // namespace quarnix::testing
