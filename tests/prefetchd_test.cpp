// The prefetch daemon's parts without a mount: the trace follower on trace
// texts, and the descriptor prefetching on plain files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <future>
#include <string>
#include <thread>

#include "prefetchd/descriptor_prefetch.hpp"
#include "prefetchd/tracer_loop.hpp"
#include "readahead/prefetch_loop.hpp"
#include "readahead/readahead_stats.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

using namespace quarnix::prefetchd;

namespace fs = std::filesystem;

constexpr std::uint32_t block_size = 4096;
constexpr std::uint32_t hash = 7;

// Every block 0..3 of the file leads to the same four predictions, block 0
// first: each scored block of 0..3 is one prediction and one hit, a first hit
// for block 0 only.
void add_uniform_tree(prefetch_state& readahead) {
  std::vector<std::pair<block_id_t, double>> predictions;
  for (std::uint32_t block = 0; block < 4; ++block)
    predictions.emplace_back(block_id_t(hash, block), 0.25);
  for (std::uint32_t block = 0; block < 4; ++block)
    readahead.root.children[block_id_t(hash, block)].predictions = predictions;
  readahead.root.children[block_id_t(hash, 9)].predictions = predictions;
  readahead.cursor.advance(block_id_t(hash, 9));
}

std::string read_line(std::uint64_t time, std::uint64_t ino, const std::string& off,
                      const std::string& result) {
  return "[" + std::to_string(time) + "] file_read_iter(ino=" + std::to_string(ino) +
         ", off=" + off + ", len=4096) -> " + result + "\n";
}

TEST(TracerLoop, ScoresTheBlocksThatEachReadReturned) {
  struct Case {
    std::string name;
    std::string trace;
    bool replay;
    std::uint64_t predictions;  // = hits
    std::uint64_t first_hits;
    std::string err;
  };
  std::string out_of_range = read_line(1, 5, "99999999999999999999", "1");
  const std::string past_32_bits = std::to_string((std::uint64_t{1} << 32) * block_size);
  const Case cases[] = {
      {"both blocks of the bytes read", read_line(1, 5, "4000", "200"), false, 2, 1, ""},
      {"only the bytes read count", read_line(1, 5, "4000", "96"), false, 1, 1, ""},
      {"nothing read", read_line(1, 5, "4000", "0"), false, 0, 0, ""},
      {"failed read", read_line(1, 5, "0", "-5"), false, 0, 0, ""},
      {"unknown inode", read_line(1, 6, "0", "10"), false, 0, 0, ""},
      {"other lines", "Attaching 5 probes...\n[1] Tracing started.\n[2] file_mmap(ino=5)\n", false,
       0, 0, ""},
      {"exit line ends the trace", "exit\n" + read_line(1, 5, "0", "1"), false, 0, 0, ""},
      {"exit within a line does not", "no exit\n" + read_line(1, 5, "0", "1"), false, 1, 1, ""},
      {"a long line comes in pieces", std::string(130, 'x') + read_line(1, 5, "0", "1"), false, 0,
       0, ""},
      {"number out of range", out_of_range, false, 0, 0,
       "WARNING: tracer_loop(): number out of range, line skipped: " + out_of_range},
      {"block number overflow", read_line(1, 5, past_32_bits, "1") + read_line(2, 5, "0", "1"),
       false, 1, 1,
       "WARNING: tracer_loop(): blocks of read(ino=5, off=" + past_32_bits +
           ", len=1) beyond 4294967295 skipped: block number overflow\n"},
      {"replay tolerates small steps back",
       read_line(1000, 5, "0", "1") + read_line(3000, 5, "0", "1") + read_line(2000, 5, "0", "1"),
       true, 3, 3, ""},
      {"replay warns of large steps back",
       read_line(200000, 5, "0", "1") + read_line(100000, 5, "0", "1"), true, 2, 2,
       "WARNING: large negative dt! ts: 100000, ts_prev: 200000\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    prefetch_state readahead;
    add_uniform_tree(readahead);
    std::string trace = c.trace;
    FILE* input = fmemopen(trace.data(), trace.size(), "r");
    ASSERT_NE(input, nullptr);
    StreamCapture capture;
    tracer_loop(input, &readahead, block_size, {{5, hash}}, c.replay);
    fclose(input);
    const readahead_stats_t stats = snapshot_readahead_stats(readahead);
    EXPECT_EQ(stats.total_predictions, c.predictions);
    EXPECT_EQ(stats.hits, c.predictions);
    EXPECT_EQ(stats.hits_not_prefetched, c.predictions);
    EXPECT_EQ(stats.first_hits, c.first_hits);
    EXPECT_EQ(capture.err(), c.err);
  }
}

class DescriptorPrefetchTest : public ::testing::Test {
 protected:
  DescriptorPrefetchTest() {
    struct stat status {};
    stat(files.path().c_str(), &status);
    set_prefetch_tree(files.path().string() + "/", status.st_dev);
    write_file(files / "half", std::string(block_size + block_size / 2, 'h'));
    readahead.files[1] = (files / "half").string();
    readahead.files[2] = (files / "missing").string();
  }

  // The descriptor cached for a path hash, or -1.
  int cached_fd(std::uint32_t path_hash) {
    const auto found = readahead.handles.index.find(path_hash);
    return found == readahead.handles.index.end() ? -1 : found->second->second.fd.get();
  }

  TempDir files;
  prefetch_state readahead;
  std::vector<char> buffer = std::vector<char>(block_size);
};

TEST_F(DescriptorPrefetchTest, ReadsToTheEndOfTheFileAndKeepsTheDescriptor) {
  StreamCapture capture;
  prefetch_block(&readahead, block_id_t(1, 1), buffer.data(), block_size);
  const int fd = cached_fd(1);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(std::string(buffer.data(), block_size / 2), std::string(block_size / 2, 'h'));
  // Past the end: one read of nothing, same descriptor.
  prefetch_block(&readahead, block_id_t(1, 7), buffer.data(), block_size);
  EXPECT_EQ(cached_fd(1), fd);
  prefetch_block(&readahead, block_id_t(2, 0), buffer.data(), block_size);
  prefetch_block(&readahead, block_id_t(3, 0), buffer.data(), block_size);
  EXPECT_EQ(readahead.handles.entries.size(), 1u);
  EXPECT_EQ(capture.err(), "WARNING: readahead(8589934592): open(" + (files / "missing").string() +
                               "): No such file or directory\n"
                               "WARNING: readahead(12884901888): path hash 3 is not in the "
                               "profile\n");
}

// A FIFO in place of a profiled file must not hold the thread in open.
TEST_F(DescriptorPrefetchTest, LeavesWhatIsNoRegularFileUnopened) {
  const fs::path fifo = files / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  readahead.files[4] = fifo.string();
  StreamCapture capture;
  auto prefetch = std::async(std::launch::async, [this] {
    prefetch_block(&readahead, block_id_t(4, 0), buffer.data(), block_size);
  });
  if (prefetch.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    const UniqueFd writer(open(fifo.c_str(), O_WRONLY | O_NONBLOCK));
    ADD_FAILURE() << "prefetch_block blocked in the open of a FIFO";
  }
  prefetch.get();
  EXPECT_EQ(cached_fd(4), -1);
  EXPECT_EQ(capture.err(),
            "WARNING: readahead(17179869184): " + fifo.string() + " is not a regular file\n");
}

TEST_F(DescriptorPrefetchTest, ExpiryClosesOnlyDescriptorsIdleForMoreThanThreeSeconds) {
  write_file(files / "other", "o");
  readahead.files[3] = (files / "other").string();
  prefetch_block(&readahead, block_id_t(1, 0), buffer.data(), block_size);
  prefetch_block(&readahead, block_id_t(3, 0), buffer.data(), block_size);
  const int idle_fd = cached_fd(1);
  readahead.handles.get(1)->last_used -= std::chrono::milliseconds(3001);
  readahead.handles.get(3)->last_used -= std::chrono::milliseconds(2900);
  expire_fds(&readahead);
  EXPECT_EQ(cached_fd(1), -1);
  EXPECT_GE(cached_fd(3), 0);
  EXPECT_EQ(fcntl(idle_fd, F_GETFD), -1);
}

TEST(PrefetchLoop, WaitsThatTimeOutRunTheIdleActionUntilStopped) {
  prefetch_state readahead;
  std::atomic<int> idle_calls = 0;
  PrefetchLoopActions<FdHandle> actions;
  actions.prefetch = [](prefetch_state*, block_id_t) {};
  actions.idle_period = std::chrono::milliseconds(1);
  actions.idle = [&idle_calls](prefetch_state*) { ++idle_calls; };
  BoundedThread loop([&] { run_prefetch_loop<FdHandle>(&readahead, 10, actions); });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (idle_calls < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  readahead.request_stop();
  loop.join("the prefetch loop after a stop request");
  EXPECT_GE(idle_calls, 3);
}

}  // namespace
}  // namespace quarnix::testing
