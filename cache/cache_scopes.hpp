// The owners of the cache's bookkeeping pairs: each takes one half when it
// starts and does the other when it ends, on every path out of the function
// that holds it, so that an insert or an update reads as its main path. All
// of them begin and end with the cache mutex held.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "cache/cache.hpp"
#include "cache/locked_element_ptr.hpp"

namespace quarnix {

// A chunk lock taken with the cache mutex held: let go when the hold ends,
// unless the chunk was handed to the caller still locked.
class Cache::ChunkHold {
 public:
  // Waits while another thread holds the chunk.
  ChunkHold(Cache& cache, uint64_t ino, uint64_t chunkno, std::unique_lock<std::mutex>& lk);
  ~ChunkHold();
  ChunkHold(const ChunkHold&) = delete;
  ChunkHold& operator=(const ChunkHold&) = delete;

  // The caller owns the chunk's lock from now on.
  locked_element_ptr hand_over(LRUElement& element);

 private:
  Cache* cache;
  const ChunkKey key;
};

// One copy into a slot, until its chunk is linked or refreshed: counted in
// fills_in_progress, which a save waits for, and for an update listed in
// `filling`, so that another thread's restamp leaves the chunk to it. When it
// ends, an inode entry that the fill left without chunks (the insert's own
// eviction, a copy that failed) goes.
class Cache::FillScope {
 public:
  // An insert's chunk, which joins the index only when its copy is done.
  static FillScope of_insert(Cache& cache, uint64_t ino);
  // An update's chunk, which stays in the index while it is copied again.
  static FillScope of_update(Cache& cache, uint64_t ino, uint64_t chunkno);
  ~FillScope();
  FillScope(const FillScope&) = delete;
  FillScope& operator=(const FillScope&) = delete;

 private:
  FillScope(Cache& cache, uint64_t ino, std::optional<ChunkKey> refreshed);

  Cache& cache;
  const uint64_t ino;
  const std::optional<ChunkKey> refreshed;
};

// A slot that an insert took: free again when the insert ends, unless a chunk
// was linked into it or it was set aside.
class Cache::TakenSlot {
 public:
  TakenSlot(Cache& cache, uint64_t offset) : cache(cache), offset(offset) {}
  ~TakenSlot();
  TakenSlot(const TakenSlot&) = delete;
  TakenSlot& operator=(const TakenSlot&) = delete;

  uint64_t get() const { return offset; }
  // The slot's offset, for whoever takes the slot over.
  uint64_t release();

 private:
  Cache& cache;
  const uint64_t offset;
  bool owned = true;
};

}  // namespace quarnix
