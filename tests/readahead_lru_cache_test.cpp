#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "readahead/lru_cache.hpp"

namespace quarnix::testing {
namespace {

// A move-only handle that reports when the one holding it is destroyed.
struct TrackedHandle {
  TrackedHandle(int id, std::vector<int>* closed) : id(id), closed(closed) {}
  TrackedHandle(TrackedHandle&& other) noexcept
      : id(other.id), closed(std::exchange(other.closed, nullptr)) {}
  TrackedHandle(const TrackedHandle&) = delete;
  ~TrackedHandle() {
    if (closed) closed->push_back(id);
  }
  int id;
  std::vector<int>* closed;
};

using handle_cache = lru_cache_t<std::uint32_t, TrackedHandle>;

std::vector<std::uint32_t> keys_in_order(const handle_cache& cache) {
  std::vector<std::uint32_t> keys;
  for (const auto& entry : cache.entries)
    keys.push_back(entry.first);
  return keys;
}

void expect_consistent(const handle_cache& cache) {
  EXPECT_EQ(cache.index.size(), cache.entries.size());
  for (auto entry = cache.entries.begin(); entry != cache.entries.end(); ++entry)
    EXPECT_EQ(cache.index.at(entry->first), entry);
}

TEST(LruCacheTest, OverflowClosesTheLeastRecentlyUsed) {
  std::vector<int> closed;
  handle_cache cache(63);
  for (int key = 0; key < 63; ++key)
    cache.put(key, TrackedHandle(key, &closed));
  EXPECT_TRUE(closed.empty());
  EXPECT_EQ(cache.entries.size(), 63u);

  cache.put(63, TrackedHandle(63, &closed));
  EXPECT_EQ(closed, std::vector<int>({0}));
  EXPECT_EQ(cache.entries.size(), 63u);
  EXPECT_FALSE(cache.get(0));
  EXPECT_EQ(cache.entries.front().first, 63u);
  expect_consistent(cache);
}

TEST(LruCacheTest, GetHitSurvivesTheNextEviction) {
  std::vector<int> closed;
  handle_cache cache(63);
  for (int key = 0; key < 63; ++key)
    cache.put(key, TrackedHandle(key, &closed));

  auto hit = cache.get(0);
  ASSERT_TRUE(hit);
  EXPECT_EQ(hit->id, 0);
  EXPECT_EQ(cache.entries.front().first, 0u);

  cache.put(63, TrackedHandle(63, &closed));
  cache.put(64, TrackedHandle(64, &closed));
  EXPECT_EQ(closed, std::vector<int>({1, 2}));
  EXPECT_TRUE(cache.get(0));
  expect_consistent(cache);
}

TEST(LruCacheTest, GetOfFrontOrAbsentKeyKeepsTheOrder) {
  std::vector<int> closed;
  handle_cache cache(3);
  cache.put(1, TrackedHandle(1, &closed));
  cache.put(2, TrackedHandle(2, &closed));
  cache.put(3, TrackedHandle(3, &closed));
  const std::vector<std::uint32_t> order = {3, 2, 1};

  EXPECT_EQ(cache.get(3)->id, 3);
  EXPECT_EQ(keys_in_order(cache), order);
  EXPECT_FALSE(cache.get(4));
  EXPECT_EQ(keys_in_order(cache), order);

  EXPECT_EQ(cache.get(1)->id, 1);
  EXPECT_EQ(keys_in_order(cache), std::vector<std::uint32_t>({1, 3, 2}));
  EXPECT_TRUE(closed.empty());
  expect_consistent(cache);
}

TEST(LruCacheTest, EraseClosesAtOnceAndIgnoresAbsentKeys) {
  std::vector<int> closed;
  handle_cache cache(3);
  cache.put(1, TrackedHandle(1, &closed));
  cache.put(2, TrackedHandle(2, &closed));

  cache.erase(7);
  EXPECT_TRUE(closed.empty());
  EXPECT_EQ(cache.entries.size(), 2u);

  cache.erase(1);
  EXPECT_EQ(closed, std::vector<int>({1}));
  EXPECT_FALSE(cache.get(1));
  EXPECT_EQ(keys_in_order(cache), std::vector<std::uint32_t>({2}));
  expect_consistent(cache);
}

TEST(LruCacheTest, PutOfACachedKeyReplacesIt) {
  std::vector<int> closed;
  handle_cache cache(3);
  cache.put(1, TrackedHandle(10, &closed));
  cache.put(2, TrackedHandle(20, &closed));
  cache.put(1, TrackedHandle(11, &closed));

  EXPECT_EQ(closed, std::vector<int>({10}));
  EXPECT_EQ(keys_in_order(cache), std::vector<std::uint32_t>({1, 2}));
  EXPECT_EQ(cache.get(1)->id, 11);
  expect_consistent(cache);
}

}  // namespace
}  // namespace quarnix::testing
