// The daemon's read-ahead thread, driven with a stand-in for the block reads.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_set>
#include <vector>

#include "daemon/readahead_loop.hpp"
#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

using readahead_state = abstract_readahead_state_t<fuse_file_handle>;

const block_id_t context(1, 0);
const block_id_t other_context(1, 1);
const block_id_t b1(2, 1);
const block_id_t b2(2, 2);
const block_id_t b3(2, 3);
const block_id_t c1(3, 1);

// Records the blocks the loop asks for and runs a test's action on each.
struct FakePrefetch {
  std::mutex mutex;
  std::condition_variable called;
  std::vector<block_id_t> ids;
  std::function<void(readahead_state*, block_id_t)> action;

  std::vector<block_id_t> wait_for_calls(std::size_t count) {
    std::unique_lock lock(mutex);
    if (!called.wait_for(lock, std::chrono::seconds(20), [&] { return ids.size() >= count; }))
      ADD_FAILURE() << "the loop asked for " << ids.size() << " blocks in 20 s, not " << count;
    return ids;
  }
};

FakePrefetch* fake = nullptr;

void fake_prefetch_block(readahead_state* readahead, block_id_t id) {
  std::function<void(readahead_state*, block_id_t)> action;
  {
    std::lock_guard lock(fake->mutex);
    fake->ids.push_back(id);
    action = fake->action;
  }
  fake->called.notify_all();
  if (action) action(readahead, id);
}

// Runs readahead_loop and, however the test ends, stops it as the daemon does.
class LoopThread {
 public:
  LoopThread(readahead_state& readahead, std::uint64_t limit)
      : readahead(readahead), thread([&readahead, limit] { readahead_loop(&readahead, limit); }) {}
  ~LoopThread() { stop(); }

  void stop() {
    readahead.request_stop();
    thread.join("the loop after a stop request");
  }
  // For a loop that ends by itself; one that does not fails the test and is stopped.
  void join() {
    if (!thread.join_within(thread_end_deadline)) ADD_FAILURE() << "the loop did not end by itself";
    stop();
  }

 private:
  readahead_state& readahead;
  BoundedThread thread;
};

class ReadaheadLoopTest : public ::testing::Test {
 protected:
  ReadaheadLoopTest() {
    fake = &recorder;
    prefetch_hook = fake_prefetch_block;
    BlockNode& node = readahead.root.children[context];
    node.predictions = {{b1, 0.5}, {b2, 0.3}, {b3, 0.2}};
    readahead.root.children[other_context].predictions = {{c1, 0.9}};
    readahead.cursor.advance(context);
  }
  ~ReadaheadLoopTest() override {
    prefetch_hook = prefetch_block;
    fake = nullptr;
  }

  // Once the pass's last block is recorded in `prefetched`, the loop holds
  // the mutex until it waits; seeing the set complete under the mutex thus
  // means the loop is waiting.
  void wait_until_prefetched(const std::unordered_set<block_id_t>& expected) {
    EXPECT_TRUE(holds_within([&] {
      std::lock_guard lock(readahead.mutex);
      return readahead.prefetched == expected;
    })) << "the loop never prefetched the "
        << expected.size() << " blocks expected";
  }

  // What the read path does for an observed block.
  void observe(block_id_t id) {
    {
      std::lock_guard lock(readahead.mutex);
      readahead.cursor.advance(id);
      readahead.prefetched.clear();
    }
    readahead.cond.notify_all();
  }

  FakePrefetch recorder;
  readahead_state readahead;
};

TEST_F(ReadaheadLoopTest, StopsAtTheLimitAndWaitsForAChange) {
  LoopThread loop(readahead, 2);
  wait_until_prefetched({b1, b2});
  EXPECT_EQ(recorder.wait_for_calls(2), std::vector<block_id_t>({b1, b2}));

  // Any wake-up starts a new pass from the cursor.
  readahead.cond.notify_all();
  EXPECT_EQ(recorder.wait_for_calls(4), std::vector<block_id_t>({b1, b2, b1, b2}));
}

TEST_F(ReadaheadLoopTest, ExhaustedCandidatesEndThePass) {
  LoopThread loop(readahead, 100);
  wait_until_prefetched({b1, b2, b3});
  loop.stop();
  EXPECT_EQ(recorder.ids, std::vector<block_id_t>({b1, b2, b3}));
}

TEST_F(ReadaheadLoopTest, CursorMovedDuringAPrefetchRestartsThePass) {
  recorder.action = [this](readahead_state*, block_id_t id) {
    if (id == b1) observe(other_context);
  };
  LoopThread loop(readahead, 100);
  // b1 is still recorded: it was prefetched after the observed read.
  wait_until_prefetched({b1, c1});
  loop.stop();
  EXPECT_EQ(recorder.ids, std::vector<block_id_t>({b1, c1}));
}

TEST_F(ReadaheadLoopTest, CursorWithoutPositionWaitsWithoutPrefetching) {
  readahead.cursor.nodes.clear();
  LoopThread loop(readahead, 100);
  observe(other_context);
  wait_until_prefetched({c1});
  loop.stop();
  EXPECT_EQ(recorder.ids, std::vector<block_id_t>({c1}));
}

TEST_F(ReadaheadLoopTest, StopFlagSetBeforeStartEndsLoopWithLimitZero) {
  // No notification follows: the flag alone must keep the loop from waiting.
  readahead.terminate = true;
  LoopThread loop(readahead, 0);
  loop.join();
  EXPECT_TRUE(recorder.ids.empty());
}

TEST_F(ReadaheadLoopTest, StopRequestedDuringAPrefetchIsNotLost) {
  recorder.action = [](readahead_state* readahead, block_id_t) {
    readahead->request_stop();  // nobody waits yet
  };
  LoopThread loop(readahead, 1);
  loop.join();
  EXPECT_EQ(recorder.ids, std::vector<block_id_t>({b1}));
}

TEST_F(ReadaheadLoopTest, StopFlagIsTestedBeforeEachCandidate) {
  recorder.action = [](readahead_state* readahead, block_id_t) {
    std::lock_guard lock(readahead->mutex);
    readahead->terminate = true;
  };
  LoopThread loop(readahead, 100);
  loop.join();
  EXPECT_EQ(recorder.ids, std::vector<block_id_t>({b1}));
}

TEST_F(ReadaheadLoopTest, FailingPrefetchCostsOnlyItsBlock) {
  StreamCapture capture;
  recorder.action = [](readahead_state*, block_id_t id) {
    if (id == b1) throw std::runtime_error("no such thing");
  };
  LoopThread loop(readahead, 100);
  wait_until_prefetched({b1, b2, b3});
  loop.stop();
  EXPECT_EQ(recorder.ids, std::vector<block_id_t>({b1, b2, b3}));
  EXPECT_EQ(capture.err(), "WARNING: readahead(8589934593): no such thing\n");
}

TEST(ReadaheadBlockLimitTest, HundredWithoutCacheElseThreeTenthsOfTheSlots) {
  EXPECT_EQ(readahead_block_limit(boost::none), 100u);
  EXPECT_EQ(readahead_block_limit(1000u), 300u);
  EXPECT_EQ(readahead_block_limit(10u), 3u);
  EXPECT_EQ(readahead_block_limit(3u), 0u);
}

}  // namespace
}  // namespace quarnix::testing
