#include "cache/cache_scopes.hpp"

#include <exception>
#include <utility>

#include "support/logging.hpp"

namespace quarnix {

Cache::ChunkHold::ChunkHold(Cache& cache, uint64_t ino, uint64_t chunkno,
                            std::unique_lock<std::mutex>& lk)
    : cache(&cache), key(ino, chunkno) {
  cache.lock(ino, chunkno, lk);
}

Cache::ChunkHold::~ChunkHold() {
  if (cache == nullptr) return;
  // Nothing leaves a destructor: an unlock that fails is a broken invariant,
  // which is logged.
  try {
    cache->unlock(key.first, key.second);
  } catch (const std::exception& error) {
    log_error(error.what());
  }
}

locked_element_ptr Cache::ChunkHold::hand_over(LRUElement& element) {
  return locked_element_ptr(*std::exchange(cache, nullptr), element);
}

Cache::FillScope Cache::FillScope::of_insert(Cache& cache, uint64_t ino) {
  return FillScope(cache, ino, std::nullopt);
}

Cache::FillScope Cache::FillScope::of_update(Cache& cache, uint64_t ino, uint64_t chunkno) {
  return FillScope(cache, ino, ChunkKey{ino, chunkno});
}

Cache::FillScope::FillScope(Cache& cache, uint64_t ino, std::optional<ChunkKey> refreshed)
    : cache(cache), ino(ino), refreshed(std::move(refreshed)) {
  if (this->refreshed) cache.filling.insert(*this->refreshed);
  ++cache.fills_in_progress;
}

Cache::FillScope::~FillScope() {
  if (refreshed) cache.filling.erase(*refreshed);
  cache.forget_if_empty(ino);
  --cache.fills_in_progress;
  cache.unlocked_cv.notify_all();
}

Cache::TakenSlot::~TakenSlot() {
  if (owned) cache.give_back_slot(offset);
}

uint64_t Cache::TakenSlot::release() {
  owned = false;
  return offset;
}

}  // namespace quarnix
