// Dropping cached chunks: single chunks, whole inodes, the tail of a file that
// shrank, and inodes whose validated identity no longer matches.
#include "cache/cache.hpp"
#include "cache/cache_scopes.hpp"
#include "support/errors.hpp"

namespace quarnix {

namespace {

bool every_chunk(uint64_t) {
  return true;
}

}  // namespace

Cache::ChunkPosition Cache::remove_chunk(CacheInode& entry, ChunkPosition chunk) {
  give_back_slot(chunk->second->cfile_off);
  lru.erase(chunk->second);
  return entry.chunks.erase(chunk);
}

bool Cache::wait_for_fills(uint64_t ino, const std::function<bool(uint64_t)>& selected,
                           std::unique_lock<std::mutex>& lk) {
  // A chunk being inserted is locked before it is indexed; waiting for it
  // lets the drop also take the bytes such a fill copied before the change.
  for (const ChunkKey& key : locked) {
    if (key.first == ino && selected(key.second)) {
      const ChunkKey waiting_for = key;
      wait_until_free(waiting_for, lk);
      return true;
    }
  }
  return false;
}

bool Cache::drop_chunks(uint64_t ino, const std::function<bool(uint64_t)>& selected,
                        std::unique_lock<std::mutex>& lk) {
  bool dropped = false;
  for (;;) {
    const auto entry = index.find(ino);
    if (entry == index.end()) return dropped;
    if (wait_for_fills(ino, selected, lk)) continue;
    // No selected chunk of the inode is locked now, and the mutex stays held.
    auto& chunks = entry->second.chunks;
    for (auto chunk = chunks.begin(); chunk != chunks.end();) {
      if (selected(chunk->first)) {
        chunk = remove_chunk(entry->second, chunk);
        dropped = true;
      } else {
        ++chunk;
      }
    }
    if (chunks.empty()) index.erase(entry);
    return dropped;
  }
}

void Cache::validate(uint64_t ino, const struct stat& info) {
  std::unique_lock lk(mutex);
  const auto entry = index.find(ino);
  if (entry == index.end()) return;
  if (entry->second.identity && *entry->second.identity == FileIdentity::of(info)) return;
  drop_chunks(ino, every_chunk, lk);
}

bool Cache::drop(uint64_t ino) {
  std::unique_lock lk(mutex);
  for (;;) {
    const auto entry = index.find(ino);
    if (entry == index.end()) return false;
    // An insert that evicted the inode's last chunk keeps the entry empty
    // until it links its own chunk: wait for it before judging the entry.
    if (wait_for_fills(ino, every_chunk, lk)) continue;
    if (entry->second.chunks.empty()) throw RuntimeError("Empty chunk map?!");
    drop_chunks(ino, every_chunk, lk);
    return true;
  }
}

bool Cache::drop_from(uint64_t ino, uint64_t first_chunk) {
  std::unique_lock lk(mutex);
  return drop_chunks(
      ino, [first_chunk](uint64_t chunkno) { return chunkno >= first_chunk; }, lk);
}

bool Cache::drop_chunk(uint64_t ino, uint64_t chunkno) {
  std::unique_lock lk(mutex);
  const ChunkHold hold(*this, ino, chunkno, lk);
  const auto entry = index.find(ino);
  if (entry == index.end()) return false;
  const auto chunk = entry->second.chunks.find(chunkno);
  if (chunk == entry->second.chunks.end()) return false;
  remove_chunk(entry->second, chunk);
  if (entry->second.chunks.empty()) index.erase(entry);
  return true;
}

}  // namespace quarnix
