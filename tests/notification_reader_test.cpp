// The input loop on a pipe written piece by piece: which notifications it
// takes after stray bytes, however reads and the reader's buffer cut them.
#include <gtest/gtest.h>
#include <sys/ioctl.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "materialize/input_loop.hpp"
#include "materialize/notification_reader.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/bounded_thread.hpp"

namespace quarnix::testing {
namespace {

using Keys = std::vector<std::pair<uint64_t, uint64_t>>;  // inode, block

// Notifications of blocks [first, first + count) of inode 100, as bytes and keys.
std::pair<std::string, Keys> records(uint64_t first, uint64_t count) {
  std::pair<std::string, Keys> result;
  for (uint64_t block = first, ino = 100; block < first + count; ++block) {
    char record[mat_notify_size] = {};
    std::memcpy(record + 16, &ino, 8);
    std::memcpy(record + 24, &block, 8);
    result.first.append(record, sizeof record);
    result.second.emplace_back(ino, block);
  }
  return result;
}

// The reader takes each write before the next; inode 100 is a placeholder.
Keys taken_from(const std::vector<std::string>& writes, const Keys& owed) {
  int ends[2];
  EXPECT_EQ(::pipe(ends), 0);
  UniqueFd read_end(ends[0]), write_end(ends[1]);
  RequestAccount requests;
  for (const auto& [ino, block] : owed) {
    requests.queued(ino, block);
    requests.written(ino, block);
  }
  Keys taken;
  const InputHandlers handlers{[&](const mat_notify& notify, bool is_owed) {
                                 if (!is_owed && notify.ino != 100)
                                   return NotificationFit::no_placeholder;
                                 taken.emplace_back(notify.ino, notify.block);
                                 return NotificationFit::taken;
                               },
                               [](const mat_notify& notify) { return notify.ino == 100; }, [] {}};
  const StopEvent stop;
  NotificationReader reader(read_end.get(), stop);
  BoundedThread loop([&] { input_loop(reader, requests, handlers); });
  for (const std::string& bytes : writes) {
    EXPECT_EQ(::write(write_end.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int pending = 1;
    while (::ioctl(read_end.get(), FIONREAD, &pending) == 0 && pending > 0 &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(pending, 0) << "the reader never took a write";
  }
  write_end.reset();
  loop.join("the input loop at the end of its input");
  return taken;
}

// A record of inode `ino` and `block`.
std::string record_of(uint64_t ino, uint64_t block) {
  std::string record(mat_notify_size, '\0');
  std::memcpy(record.data() + 16, &ino, 8);
  std::memcpy(record.data() + 24, &block, 8);
  return record;
}

TEST(NotificationReader, FindsEveryRecordAfterStrayBytesHoweverReadsEnd) {
  const auto [one, one_key] = records(1, 1);
  const auto [two, two_keys] = records(2, 2);
  const auto [many, many_keys] = records(0, 200);
  // More than a pipe holds: reads end inside the peer's write.
  const auto [flood, flood_keys] = records(0, 3000);
  Keys owed_many = many_keys;
  owed_many.emplace_back(7, 0);  // a window 8 bytes into the record of block 7 names it
  Keys one_two = one_key;
  one_two.insert(one_two.end(), two_keys.begin(), two_keys.end());
  // A fault naming block 3 of inode 5, then an answer in a write of its own:
  // the window 8 bytes into the fault reads (3, 0), which is owed too.
  const std::string fault = record_of(5, 3);
  const Keys trap_owed = {{3, 0}, {100, 0}};
  struct Case {
    const char* name;
    std::vector<std::string> writes;
    Keys owed, expected;
  } cases[] = {
      {"a record in pieces", {one.substr(0, 10), one.substr(10)}, {}, one_key},
      {"stray bytes in their own write", {"peer: a stray line\n", one, two}, one_key, one_two},
      {"stray bytes mid-write", {one + "abc" + two}, {two_keys[0]}, one_two},
      {"aligned records past 4 KiB", {many}, {}, many_keys},
      {"records past 4 KiB after stray bytes", {std::string(24, 'x') + many}, owed_many, many_keys},
      {"stray bytes before more than a pipe holds", {"hello" + flood}, flood_keys, flood_keys},
      {"stray bytes alone, then more than a pipe holds", {"hello", flood}, flood_keys, flood_keys},
      {"an answer overlapping the next one", {fault, record_of(100, 0)}, trap_owed, {{100, 0}}},
      {"an answer followed by stray bytes", {"hello" + one + "abc"}, one_key, one_key},
      // The window 8 bytes into the record of block 4 reads (3, 0).
      {"an answer split right after stray bytes",
       {"hello" + record_of(100, 3) + record_of(100, 4).substr(0, 8), record_of(100, 4).substr(8)},
       {{100, 3}, {100, 4}, {3, 0}},
       {{100, 3}, {100, 4}}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(taken_from(c.writes, c.owed), c.expected) << c.name;
}

}  // namespace
}  // namespace quarnix::testing
