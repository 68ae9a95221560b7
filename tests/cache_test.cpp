// The block cache on real files: slots, chunk sizes, LRU eviction, chunk
// locks, failed copies, validation times and dropping.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.hpp"
#include "support/errors.hpp"
#include "tests/cache_test_files.hpp"
#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

constexpr uint64_t chunk = 4096;
// Long enough for a thread that is not blocked to have finished.
constexpr auto settle_time = std::chrono::milliseconds(200);

class CacheTest : public ::testing::Test {
 protected:
  std::unique_ptr<Cache> make_cache(uint64_t slots, uint64_t chunk_size = chunk) {
    make_cache_file(cache_path, slots * chunk_size);
    StreamCapture capture;
    auto cache = std::make_unique<Cache>(cache_path.string(), chunk_size);
    EXPECT_EQ(capture.err(), "INFO: No cache metadata found, re-initializing.\n");
    return cache;
  }

  // Fills a chunk and releases it; returns its slot.
  static uint64_t fill(Cache& cache, const SourceFile& source, uint64_t chunkno) {
    const locked_element_ptr element = cache.lookup_or_insert(source.ino, chunkno, source.fd.get());
    return element->cfile_off;
  }

  static bool cached(Cache& cache, uint64_t ino, uint64_t chunkno) {
    const TryLookupResult result = cache.try_lookup_locked(ino, chunkno);
    EXPECT_NE(result.state, ChunkState::busy);
    return result.state == ChunkState::cached;
  }

  TempDir dir;
  std::filesystem::path cache_path = dir / "cachefile";
};

TEST_F(CacheTest, SlotCountAndFreeSlotOrder) {
  make_cache_file(cache_path, 1000000);
  StreamCapture capture;
  Cache cache(cache_path.string(), 131072);
  EXPECT_EQ(capture.err(), "INFO: No cache metadata found, re-initializing.\n");
  EXPECT_EQ(cache.capacity(), 7u);

  const SourceFile source(dir / "source", 3 * 131072);
  bool was_cached = true;
  {
    const locked_element_ptr first =
        cache.lookup_or_insert(source.ino, 0, source.fd.get(), &was_cached);
    EXPECT_FALSE(was_cached);
    EXPECT_EQ(first->cfile_off, 6u * 131072);
    EXPECT_EQ(slot_bytes(cache, *first), source_bytes(0, 131072));
  }
  EXPECT_EQ(fill(cache, source, 1), 5u * 131072);
  const locked_element_ptr again =
      cache.lookup_or_insert(source.ino, 0, source.fd.get(), &was_cached);
  EXPECT_TRUE(was_cached);
  EXPECT_EQ(again->cfile_off, 6u * 131072);
}

TEST_F(CacheTest, RefusesMissingAndTooSmallCacheFiles) {
  try {
    Cache cache((dir / "missing").string(), chunk);
    ADD_FAILURE() << "no exception";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to open cachefile " + (dir / "missing").string() +
                                             ": No such file or directory");
  }
  make_cache_file(cache_path, chunk - 1);
  try {
    Cache cache(cache_path.string(), chunk);
    ADD_FAILURE() << "no exception";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Cache file " + cache_path.string() + " is smaller than one chunk (4096 bytes)");
  }
}

TEST_F(CacheTest, ChunkSizesAtAndPastTheEndOfTheFile) {
  auto cache = make_cache(6);
  const uint64_t file_size = 2 * chunk + chunk / 2;
  const SourceFile source(dir / "source", file_size);
  for (const uint64_t chunkno : {0u, 2u, 3u, 9u}) {
    const locked_element_ptr element =
        cache->lookup_or_insert(source.ino, chunkno, source.fd.get());
    EXPECT_EQ(slot_bytes(*cache, *element), expected_chunk(*cache, chunkno, file_size))
        << "chunk " << chunkno;
  }
  EXPECT_EQ(cache->lookup_locked(source.ino, 2)->size, chunk / 2);
  EXPECT_EQ(cache->lookup_locked(source.ino, 3)->size, 0u);
}

TEST_F(CacheTest, EvictsTheLeastRecentlyUsedChunk) {
  auto cache = make_cache(3);
  const SourceFile source(dir / "source", 8 * chunk);
  fill(*cache, source, 0);
  const uint64_t slot_of_1 = fill(*cache, source, 1);
  const uint64_t slot_of_2 = fill(*cache, source, 2);
  cache->lookup_locked(source.ino, 0).reset();  // 0 becomes the most recently used

  EXPECT_EQ(fill(*cache, source, 3), slot_of_1);
  EXPECT_FALSE(cached(*cache, source.ino, 1));
  // Each look-up moves its chunk to the front: 3, 0, 2 from the front.
  EXPECT_TRUE(cached(*cache, source.ino, 2));
  EXPECT_TRUE(cached(*cache, source.ino, 0));
  EXPECT_TRUE(cached(*cache, source.ino, 3));
  const locked_element_ptr next = cache->lookup_or_insert(source.ino, 4, source.fd.get());
  EXPECT_EQ(next->cfile_off, slot_of_2);
  EXPECT_EQ(slot_bytes(*cache, *next), source_bytes(4 * chunk, chunk));
}

TEST_F(CacheTest, EvictionSkipsLockedChunks) {
  auto cache = make_cache(2);
  const SourceFile source(dir / "source", 8 * chunk);
  const locked_element_ptr held = cache->lookup_or_insert(source.ino, 0, source.fd.get());
  const uint64_t slot_of_1 = fill(*cache, source, 1);  // chunk 0 is now the back of the list

  EXPECT_EQ(fill(*cache, source, 2), slot_of_1);
  EXPECT_EQ(slot_bytes(*cache, *held), source_bytes(0, chunk));
  EXPECT_FALSE(cached(*cache, source.ino, 1));
}

TEST_F(CacheTest, InsertWaitsWhileEveryChunkIsLocked) {
  auto cache = make_cache(2);
  const SourceFile source(dir / "source", 8 * chunk);
  locked_element_ptr held_0 = cache->lookup_or_insert(source.ino, 0, source.fd.get());
  locked_element_ptr held_1 = cache->lookup_or_insert(source.ino, 1, source.fd.get());
  const uint64_t slot_of_1 = held_1->cfile_off;

  std::atomic<bool> done{false};
  uint64_t slot_of_2 = 0;
  BoundedThread inserter([&] {
    slot_of_2 = fill(*cache, source, 2);
    done = true;
  });
  std::this_thread::sleep_for(settle_time);
  EXPECT_FALSE(done);
  held_1.reset();
  inserter.join("the insert after its chunk was released");
  EXPECT_EQ(slot_of_2, slot_of_1);
  held_0.reset();
  EXPECT_TRUE(cached(*cache, source.ino, 0));
  EXPECT_FALSE(cached(*cache, source.ino, 1));
}

TEST_F(CacheTest, TryLookupReportsBusyChunksWithoutWaiting) {
  auto cache = make_cache(2);
  const SourceFile source(dir / "source", 8 * chunk);
  EXPECT_EQ(cache->try_lookup_locked(source.ino, 0).state, ChunkState::not_cached);
  {
    const locked_element_ptr held = cache->lookup_or_insert(source.ino, 0, source.fd.get());
    const TryLookupResult busy = cache->try_lookup_locked(source.ino, 0);
    EXPECT_EQ(busy.state, ChunkState::busy);
    EXPECT_FALSE(busy.element);
  }
  TryLookupResult hit = cache->try_lookup_locked(source.ino, 0);
  ASSERT_EQ(hit.state, ChunkState::cached);
  EXPECT_EQ(slot_bytes(*cache, *hit.element), source_bytes(0, chunk));
  EXPECT_EQ(cache->try_lookup_locked(source.ino, 0).state, ChunkState::busy);
  hit.element.reset();
  EXPECT_TRUE(cache->lookup_locked(source.ino, 0));
}

TEST_F(CacheTest, RunLookupsLockTheCachedChunksOfARange) {
  auto cache = make_cache(4);
  const SourceFile source(dir / "source", 3 * chunk + chunk / 2);
  for (const uint64_t chunkno : {0u, 1u, 3u})
    fill(*cache, source, chunkno);
  struct Case {
    uint64_t first, last;
    std::vector<uint64_t> locked;
    std::optional<uint64_t> missing;
  };
  const std::vector<Case> cases = {
      {0, 1, {0, 1}, std::nullopt},
      {0, 2, {0, 1}, 2},
      {3, 5, {3}, std::nullopt},  // the short chunk ends the file
      {4, 4, {}, 4},
  };
  for (const Case& test : cases) {
    const std::string name = std::to_string(test.first) + "-" + std::to_string(test.last);
    {
      const LockedRun run = cache->lookup_run_locked(source.ino, test.first, test.last);
      std::vector<uint64_t> locked;
      for (const locked_element_ptr& element : run.chunks) {
        locked.push_back(element->chunkno);
        EXPECT_EQ(slot_bytes(*cache, *element),
                  expected_chunk(*cache, element->chunkno, 3 * chunk + chunk / 2))
            << name;
        EXPECT_EQ(cache->try_lookup_locked(source.ino, element->chunkno).state, ChunkState::busy)
            << name;
      }
      EXPECT_EQ(locked, test.locked) << name;
      EXPECT_EQ(run.missing, test.missing) << name;
    }
    for (const uint64_t chunkno : test.locked)
      EXPECT_TRUE(cached(*cache, source.ino, chunkno)) << name;
  }
}

// Waits up to ten seconds for every flag.
bool all_set_soon(const std::vector<const std::atomic<bool>*>& flags) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    if (std::all_of(flags.begin(), flags.end(), [](const auto* flag) { return flag->load(); }))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

TEST_F(CacheTest, RunLookupHoldsNothingWhileItWaits) {
  auto cache = make_cache(3);
  const SourceFile source(dir / "source", 8 * chunk);
  for (const uint64_t chunkno : {0u, 1u, 2u})
    fill(*cache, source, chunkno);
  locked_element_ptr held = cache->lookup_locked(source.ino, 1);
  std::atomic<bool> done{false};
  std::size_t taken = 0;
  BoundedThread reader([&] {
    taken = cache->lookup_run_locked(source.ino, 0, 2).chunks.size();
    done = true;
  });
  std::this_thread::sleep_for(settle_time);
  EXPECT_FALSE(done);
  EXPECT_TRUE(cached(*cache, source.ino, 0));  // not held by the waiting reader
  EXPECT_TRUE(cached(*cache, source.ino, 2));
  held.reset();
  reader.join("the run lookup after its chunk was released");
  EXPECT_EQ(taken, 3u);
}

// A reader of chunks 0 and 1 and an insert of chunk 1 that must evict chunk 0:
// neither may hold its chunk while it waits for the other's.
TEST_F(CacheTest, ReaderAndEvictingInsertDoNotWaitForEachOther) {
  auto cache = make_cache(2);
  const SourceFile a(dir / "a", 4 * chunk), b(dir / "b", 4 * chunk);
  fill(*cache, a, 0);
  fill(*cache, b, 0);
  locked_element_ptr held_b = cache->lookup_locked(b.ino, 0);  // held to the end
  locked_element_ptr held_a = cache->lookup_locked(a.ino, 0);
  std::atomic<bool> inserted{false}, read{false};
  LockedRun run;
  BoundedThread inserter([&] {
    fill(*cache, a, 1);
    inserted = true;
  });
  BoundedThread reader([&] {
    run = cache->lookup_run_locked(a.ino, 0, 1);
    read = true;
  });
  std::this_thread::sleep_for(settle_time);
  EXPECT_FALSE(inserted);
  EXPECT_FALSE(read);
  held_a.reset();
  EXPECT_TRUE(all_set_soon({&inserted, &read})) << "reader and insert wait for each other";
  held_b.reset();
  inserter.join("the evicting insert");
  reader.join("the reader of the evicted chunk");
  // The insert evicted chunk 0 before the reader could have all of its range.
  EXPECT_TRUE(run.chunks.empty());
  EXPECT_EQ(run.missing, std::optional<uint64_t>(0));
}

TEST_F(CacheTest, FailedInsertReturnsTheSlotAndUnlocksTheChunk) {
  auto cache = make_cache(2);
  const SourceFile source(dir / "source", 8 * chunk);
  const UniqueFd write_only(::open(source.path.c_str(), O_WRONLY | O_CLOEXEC));
  try {
    cache->lookup_or_insert(source.ino, 0, write_only.get());
    ADD_FAILURE() << "no exception";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()), "copy_file_range(): Bad file descriptor");
  }
  // The slot went back to the end of the free list and the chunk is not held.
  EXPECT_EQ(fill(*cache, source, 0), chunk);
  EXPECT_EQ(fill(*cache, source, 1), 0u);

  // A failure after an eviction frees the victim's slot.
  EXPECT_THROW(cache->lookup_or_insert(source.ino, 2, write_only.get()), RuntimeError);
  EXPECT_FALSE(cached(*cache, source.ino, 0));
  EXPECT_EQ(fill(*cache, source, 3), chunk);
  EXPECT_TRUE(cached(*cache, source.ino, 1));
  EXPECT_EQ(cache->try_lookup_locked(source.ino, 2).state, ChunkState::not_cached);
}

TEST_F(CacheTest, FailedUpdateDropsTheChunk) {
  auto cache = make_cache(2);
  const SourceFile source(dir / "source", 8 * chunk);
  const UniqueFd write_only(::open(source.path.c_str(), O_WRONLY | O_CLOEXEC));
  fill(*cache, source, 0);
  fill(*cache, source, 1);
  EXPECT_THROW(cache->update(source.ino, 0, write_only.get()), RuntimeError);
  EXPECT_EQ(cache->try_lookup_locked(source.ino, 0).state, ChunkState::not_cached);
  fill(*cache, source, 2);  // takes the freed slot instead of evicting chunk 1
  EXPECT_TRUE(cached(*cache, source.ino, 1));
}

// Once a copy finds the cache file's filesystem full, failed slots are set
// aside and chunks take the slots of chunks that hold data.
TEST_F(CacheTest, WithoutRoomChunksReplaceCachedOnes) {
  constexpr uint64_t two_pages = 8192;
  TmpfsMount small(dir / "small", "64k");
  const std::filesystem::path sparse = small.mountpoint / "cachefile";
  make_cache_file(sparse, 8 * two_pages);
  const SourceFile source(dir / "source", 2 * two_pages + 100);
  StreamCapture capture;
  Cache cache(sparse.string(), two_pages);
  fill(cache, source, 2);  // one page of data
  const uint64_t slot_0 = fill(cache, source, 0);
  small.fill();

  EXPECT_FALSE(cache.lookup_or_insert(source.ino, 1, source.fd.get()));
  // The chunk grows beyond the page its slot holds: it leaves the cache.
  write_at(source.fd.get(), std::string(two_pages, 'g'), 2 * two_pages + 100);
  EXPECT_FALSE(cache.update(source.ino, 2, source.fd.get()));
  EXPECT_FALSE(cached(cache, source.ino, 2));
  {
    const locked_element_ptr replaced = cache.lookup_or_insert(source.ino, 1, source.fd.get());
    ASSERT_TRUE(replaced);
    EXPECT_EQ(replaced->cfile_off, slot_0);
    EXPECT_EQ(slot_bytes(cache, *replaced), source_bytes(two_pages, two_pages));
  }
  EXPECT_FALSE(cached(cache, source.ino, 0));
  const std::string err = capture.err();
  EXPECT_EQ(err.find("WARNING: "), err.rfind("WARNING: ")) << err;
  EXPECT_NE(err.find("WARNING: "), std::string::npos) << err;
}

TEST_F(CacheTest, UpdateRefreshesOnlyCachedChunks) {
  auto cache = make_cache(4);
  const SourceFile source(dir / "source", 2 * chunk + 100);
  EXPECT_FALSE(cache->update(source.ino, 0, source.fd.get()));
  EXPECT_EQ(cache->try_lookup_locked(source.ino, 0).state, ChunkState::not_cached);

  const uint64_t slot = fill(*cache, source, 2);
  const std::string grown(200, 'g');
  write_at(source.fd.get(), grown, 2 * chunk + 100);  // the file grows inside the chunk
  const locked_element_ptr refreshed = cache->update(source.ino, 2, source.fd.get());
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(refreshed->cfile_off, slot);
  EXPECT_EQ(slot_bytes(*cache, *refreshed), source_bytes(2 * chunk, 100) + grown);
}

// Inode numbers are handed out again and copying tools set modification times
// back: only an unchanged modification time, change time and size keep chunks.
TEST_F(CacheTest, ValidateComparesModificationTimeChangeTimeAndSize) {
  auto cache = make_cache(4);
  const SourceFile source(dir / "source", 4 * chunk);
  source.set_mtime(1000, 500);
  const struct stat filled = source.info();
  const std::vector<std::pair<std::string, std::function<void(struct stat&)>>> changes = {
      {"modification nanoseconds", [](struct stat& info) { info.st_mtim.tv_nsec += 1; }},
      {"modification seconds", [](struct stat& info) { info.st_mtim.tv_sec += 1; }},
      {"change nanoseconds", [](struct stat& info) { info.st_ctim.tv_nsec += 1; }},
      {"change seconds", [](struct stat& info) { info.st_ctim.tv_sec -= 1; }},
      {"size", [](struct stat& info) { info.st_size += 1; }},
  };
  for (const auto& [name, change] : changes) {
    fill(*cache, source, 0);
    fill(*cache, source, 1);
    struct stat changed = filled;
    changed.st_atim.tv_sec += 10;  // reading is no change
    cache->validate(source.ino, changed);
    EXPECT_TRUE(cached(*cache, source.ino, 0)) << name;
    EXPECT_TRUE(cached(*cache, source.ino, 1)) << name;
    change(changed);
    cache->validate(source.ino, changed);
    EXPECT_FALSE(cached(*cache, source.ino, 0)) << name;
    EXPECT_FALSE(cached(*cache, source.ino, 1)) << name;
    cache->validate(source.ino, changed);  // nothing left: no effect
  }
}

TEST_F(CacheTest, FileChangedWhileLookedUpIsInvalidatedAtTheNextLookup) {
  auto cache = make_cache(4);
  const SourceFile source(dir / "source", 4 * chunk);
  source.set_mtime(1000, 0);
  fill(*cache, source, 0);
  // Changed behind the daemon's back; at forget the daemon stores the current time.
  write_at(source.fd.get(), "changed", 0);
  source.set_mtime(2000, 0);
  cache->set_mtime(source.ino, source.info());
  cache->validate(source.ino, source.info());
  EXPECT_FALSE(cached(*cache, source.ino, 0));
}

// Chunks copied from another state of the file (another modification time,
// change time or size) may predate a change: a fill or a refresh drops them.
TEST_F(CacheTest, CopiesAtANewTimeDropTheOtherChunks) {
  auto cache = make_cache(4);
  const SourceFile source(dir / "source", 4 * chunk);
  source.set_mtime(1000, 0);
  fill(*cache, source, 0);
  fill(*cache, source, 2);
  source.set_mtime(1000, 1);
  fill(*cache, source, 1);
  EXPECT_FALSE(cached(*cache, source.ino, 0));
  EXPECT_FALSE(cached(*cache, source.ino, 2));

  fill(*cache, source, 3);
  write_at(source.fd.get(), "written", chunk);
  source.set_mtime(1001, 0);
  {
    const locked_element_ptr refreshed = cache->update(source.ino, 1, source.fd.get());
    ASSERT_TRUE(refreshed);
    EXPECT_EQ(slot_bytes(*cache, *refreshed).substr(0, 7), "written");
  }
  EXPECT_FALSE(cached(*cache, source.ino, 3));
  cache->validate(source.ino, source.info());
  EXPECT_TRUE(cached(*cache, source.ino, 1));
}

TEST_F(CacheTest, DropResults) {
  auto cache = make_cache(5);
  const SourceFile source(dir / "source", 32 * chunk);
  EXPECT_FALSE(cache->drop(source.ino));
  EXPECT_FALSE(cache->drop_chunk(source.ino, 3));
  EXPECT_EQ(cache->try_lookup_locked(source.ino, 3).state, ChunkState::not_cached);

  for (const uint64_t chunkno : {0u, 1u, 2u, 3u, 20u})
    fill(*cache, source, chunkno);
  EXPECT_TRUE(cache->drop_chunk(source.ino, 2));
  EXPECT_FALSE(cache->drop_chunk(source.ino, 2));
  // Chunk 20 lies far beyond a run of uncached chunks.
  EXPECT_TRUE(cache->drop_from(source.ino, 3));
  EXPECT_FALSE(cached(*cache, source.ino, 3));
  EXPECT_FALSE(cached(*cache, source.ino, 20));
  EXPECT_TRUE(cached(*cache, source.ino, 0));
  EXPECT_TRUE(cached(*cache, source.ino, 1));
  EXPECT_FALSE(cache->drop_from(source.ino, 2));
  EXPECT_TRUE(cache->drop(source.ino));
  EXPECT_FALSE(cache->drop(source.ino));

  // Every slot is free again: five new chunks evict nothing.
  const SourceFile other(dir / "other", 8 * chunk);
  for (uint64_t chunkno = 0; chunkno < 5; ++chunkno)
    fill(*cache, other, chunkno);
  for (uint64_t chunkno = 0; chunkno < 5; ++chunkno)
    EXPECT_TRUE(cached(*cache, other.ino, chunkno)) << "chunk " << chunkno;
}

TEST_F(CacheTest, DropWaitsForAHeldChunk) {
  auto cache = make_cache(2);
  const SourceFile source(dir / "source", 8 * chunk);
  fill(*cache, source, 1);
  locked_element_ptr held = cache->lookup_or_insert(source.ino, 0, source.fd.get());
  std::atomic<bool> done{false};
  BoundedThread dropper([&] {
    EXPECT_TRUE(cache->drop(source.ino));
    done = true;
  });
  std::this_thread::sleep_for(settle_time);
  EXPECT_FALSE(done);
  EXPECT_EQ(slot_bytes(*cache, *held), source_bytes(0, chunk));
  held.reset();
  dropper.join("the drop after its chunk was released");
  EXPECT_FALSE(cached(*cache, source.ino, 0));
  EXPECT_FALSE(cached(*cache, source.ino, 1));
}

TEST_F(CacheTest, CountersDoNotWrapAtThirtyTwoBits) {
  auto cache = make_cache(1);
  cache->hits = INT32_MAX;
  ++cache->hits;
  EXPECT_EQ(cache->hits.load(), int64_t{INT32_MAX} + 1);
}

// Readers holding several chunks, fillers, writers, rewrites of the source and
// drops on a cache much smaller than the file: everything ends, every chunk
// handed out holds the right bytes, and no slot is lost.
TEST_F(CacheTest, ManyThreadsOnATinyCache) {
  auto cache = make_cache(3);
  const uint64_t file_size = 16 * chunk - 100;
  const SourceFile sources[2] = {{dir / "a", file_size}, {dir / "b", file_size}};
  std::atomic<int> wrong_bytes{0};
  const auto check = [&](const LRUElement& element) {
    if (slot_bytes(*cache, element) != expected_chunk(*cache, element.chunkno, file_size))
      ++wrong_bytes;
  };

  std::vector<BoundedThread> threads;
  for (unsigned thread = 0; thread < 8; ++thread) {
    threads.emplace_back([&, thread] {
      std::mt19937 random(thread);
      for (int iteration = 0; iteration < 300; ++iteration) {
        const SourceFile& source = sources[random() % 2];
        const uint64_t first = random() % 16;
        const uint64_t last = std::min<uint64_t>(15, first + random() % 3);
        const unsigned operation = random() % 10;
        if (operation < 5) {
          for (uint64_t chunkno = first; chunkno <= last; ++chunkno)
            check(*cache->lookup_or_insert(source.ino, chunkno, source.fd.get()));
        } else if (operation < 8) {
          const LockedRun run = cache->lookup_run_locked(source.ino, first, last);
          for (const locked_element_ptr& element : run.chunks)
            check(*element);
        } else if (operation == 8) {
          if (const locked_element_ptr element = cache->update(source.ino, first, source.fd.get()))
            check(*element);
        } else {
          // The same bytes again: a new modification time, unchanged contents.
          write_at(source.fd.get(), source_bytes(first * chunk, 10), first * chunk);
          const unsigned change = random() % 3;
          if (change == 0)
            cache->validate(source.ino, source.info());
          else if (change == 1)
            cache->drop_from(source.ino, last);
          else
            cache->drop(source.ino);
        }
      }
    });
  }
  join_all(threads, "users of the cache", std::chrono::seconds(120));
  EXPECT_EQ(wrong_bytes.load(), 0);

  // Sound bookkeeping: the saved state passes every check of the next load.
  cache->save();
  cache.reset();
  StreamCapture capture;
  const Cache reloaded(cache_path.string(), chunk);
  EXPECT_EQ(capture.err().rfind("INFO: Loaded ", 0), 0u) << capture.err();
}

}  // namespace
}  // namespace quarnix::testing
