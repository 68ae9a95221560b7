#include "cache/cache.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/exception/diagnostic_information.hpp>
#include <boost/format.hpp>
#include <iostream>

#include "cache/cache_scopes.hpp"
#include "cache/copy_chunk.hpp"
#include "cache/durable_files.hpp"
#include "support/bounded_file_read.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

uint64_t checked_chunk_size(uint64_t chunk_size) {
  if (chunk_size == 0) throw RuntimeError("Cache chunk size must not be 0");
  return chunk_size;
}

// Releases the cache mutex for its lifetime and takes it back, also when an
// exception leaves the scope.
class MutexReleased {
 public:
  explicit MutexReleased(std::unique_lock<std::mutex>& lk) : lk(lk) { lk.unlock(); }
  ~MutexReleased() { lk.lock(); }
  MutexReleased(const MutexReleased&) = delete;
  MutexReleased& operator=(const MutexReleased&) = delete;

 private:
  std::unique_lock<std::mutex>& lk;
};

int open_cache_file(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOATIME | O_CLOEXEC);
  if (fd < 0) throw RuntimeError("Failed to open cachefile " + path, errno);
  return fd;
}

// A second daemon on the same cache file would fill slots that the first one
// serves from.
void lock_exclusively(int fd, const std::string& path) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return;
  if (errno == EWOULDBLOCK)
    throw RuntimeError("Cache file " + path + " is in use by another quarnix process");
  throw RuntimeError("Failed to lock cachefile " + path, errno);
}

// The metadata says which slot holds which file's bytes: one that anybody but
// the daemon's user may have written could make it serve a private file's
// bytes for another file. Why `meta` is not the daemon's own, or nothing.
std::string reason_to_distrust(const BoundedFileRead& meta) {
  if (meta.outcome == BoundedFileRead::Outcome::not_regular) return "not a regular file.";
  if (!meta.info) return "";
  if (meta.info->st_uid != ::geteuid())
    return (boost::format("owned by uid %d, not by %d.") % meta.info->st_uid % ::geteuid()).str();
  if ((meta.info->st_mode & (S_IWGRP | S_IWOTH)) != 0)
    return (boost::format("writable by group or others (mode %04o).") %
            (meta.info->st_mode & 07777))
        .str();
  // Each save makes a new file: a second name is one somebody kept, and
  // could put back in place of a later save.
  if (meta.info->st_nlink != 1)
    return (boost::format("it has %d names.") % meta.info->st_nlink).str();
  return "";
}

void write_to_standard_error(const std::string& line) {
  write_line(std::cerr, line);
}

}  // namespace

Cache::Cache(const std::string& path, uint64_t chunk_size, ErrorReporter report_error)
    : chunk_size(checked_chunk_size(chunk_size)),
      fd(open_cache_file(path)),
      path(path),
      report_error(report_error ? std::move(report_error) : write_to_standard_error) {
  lock_exclusively(fd.get(), path);
  struct stat cache_stat {};
  if (::fstat(fd.get(), &cache_stat) != 0)
    throw RuntimeError("Failed to fstat cachefile " + path, errno);
  nslots = static_cast<uint64_t>(cache_stat.st_size) / chunk_size;
  if (nslots == 0)
    throw RuntimeError("Cache file " + path + " is smaller than one chunk (" +
                       std::to_string(chunk_size) + " bytes)");

  const int advice = ::posix_fadvise(fd.get(), 0, cache_stat.st_size, POSIX_FADV_RANDOM);
  if (advice != 0)
    log_warning(boost::format("posix_fadvise(%s): %s") % path % errno_string(advice));

  bool loaded = false;
  const std::string meta_path = path + ".meta";
  const BoundedFileRead meta = read_bounded_regular_file(meta_path, max_metadata_size());
  const std::string distrust = reason_to_distrust(meta);
  if (meta.outcome == BoundedFileRead::Outcome::missing) {
    write_line(std::cerr, "INFO: No cache metadata found, re-initializing.");
  } else if (!distrust.empty()) {
    write_line(std::cerr, "WARNING: Cache metadata " + meta_path + " is not trusted: " + distrust);
    write_line(std::cerr, "INFO: No cache metadata found, re-initializing.");
  } else if (meta.outcome == BoundedFileRead::Outcome::refused) {
    write_line(std::cerr, meta.reason);
    write_line(std::cerr, "WARNING: Cache data is corrupted, re-initializing.");
  } else {
    try {
      loaded = load(meta.bytes, cache_stat);
    } catch (...) {
      write_line(std::cerr, boost::current_exception_diagnostic_information());
      write_line(std::cerr, "WARNING: Cache data is corrupted, re-initializing.");
    }
  }
  if (loaded)
    write_line(std::cerr, "INFO: Loaded " + std::to_string(lru.size()) + " cache elements.");
  else
    reinitialize();
}

void Cache::retire_metadata() {
  std::lock_guard lk(mutex);
  retire_metadata_locked();
}

void Cache::retire_metadata_locked() {
  if (metadata_retired) return;
  const std::string meta_path = path + ".meta";
  remove_durably(meta_path, "Failed to remove cache metadata " + meta_path);
  metadata_retired = true;
  reserve_metadata_room();
}

void Cache::reserve_metadata_room() {
  metadata_reserve.reset();
  try {
    metadata_reserve = std::make_unique<MetadataReserve>(path + ".meta", max_metadata_size());
  } catch (const RuntimeError& error) {
    log_warning(boost::format("%s; the cache may not survive a restart.") % error.what());
  }
}

void Cache::reinitialize() {
  lru.clear();
  index.clear();
  free_slots.clear();
  doubtful_slots.clear();
  free_slots.reserve(nslots);
  for (uint64_t slot = 0; slot < nslots; ++slot)
    free_slots.push_back(slot * chunk_size);
}

bool Cache::is_locked(uint64_t ino, uint64_t chunkno) const {
  return locked.count({ino, chunkno}) != 0;
}

bool Cache::lock(uint64_t ino, uint64_t chunkno, std::unique_lock<std::mutex>& lk) {
  const bool waited = wait_until_free({ino, chunkno}, lk);
  locked.insert({ino, chunkno});
  return !waited;
}

void Cache::unlock(uint64_t ino, uint64_t chunkno) {
  if (locked.erase({ino, chunkno}) == 0)
    throw RuntimeError(boost::format("Cache::unlock(): chunk (%d, %d) not locked") % ino % chunkno);
  unlocked_cv.notify_all();
}

locked_element_ptr Cache::hand_out_locked(LRUElement& element) {
  locked.insert({element.ino, element.chunkno});
  return locked_element_ptr(*this, element);
}

bool Cache::wait_until_free(const ChunkKey& key, std::unique_lock<std::mutex>& lk) {
  if (!locked.count(key)) return false;
  unlocked_cv.wait(lk, [&] { return !locked.count(key); });
  return true;
}

Cache::LruPosition Cache::position(uint64_t ino, uint64_t chunkno) {
  const auto entry = index.find(ino);
  if (entry == index.end()) return lru.end();
  const auto chunk = entry->second.chunks.find(chunkno);
  if (chunk == entry->second.chunks.end()) return lru.end();
  return chunk->second;
}

LRUElement* Cache::find(uint64_t ino, uint64_t chunkno) {
  const LruPosition found = position(ino, chunkno);
  return found == lru.end() ? nullptr : &*found;
}

LRUElement* Cache::lookup(uint64_t ino, uint64_t chunkno) {
  const LruPosition found = position(ino, chunkno);
  if (found == lru.end()) return nullptr;
  lru.splice(lru.begin(), lru, found);
  return &lru.front();
}

locked_element_ptr Cache::lookup_locked(uint64_t ino, uint64_t chunkno) {
  std::unique_lock lk(mutex);
  ChunkHold hold(*this, ino, chunkno, lk);
  LRUElement* element = lookup(ino, chunkno);
  if (!element) return {};
  return hold.hand_over(*element);
}

LockedRun Cache::lookup_run_locked(uint64_t ino, uint64_t first, uint64_t last) {
  // Declared before the lock: should locking throw, the chunks already handed
  // to the run are released after the mutex.
  LockedRun run;
  std::unique_lock lk(mutex);
  std::vector<LRUElement*> found;
  found.reserve(last >= first ? last - first + 1 : 0);
  for (uint64_t chunkno = first; chunkno <= last;) {
    if (wait_until_free({ino, chunkno}, lk)) {
      // Nothing is held yet; the chunks seen so far may have changed meanwhile.
      found.clear();
      chunkno = first;
      continue;
    }
    LRUElement* element = lookup(ino, chunkno);
    if (!element) {
      run.missing = chunkno;
      break;
    }
    found.push_back(element);
    if (element->size != chunk_size) break;
    ++chunkno;
  }
  run.chunks.reserve(found.size());
  for (LRUElement* element : found)
    run.chunks.push_back(hand_out_locked(*element));
  return run;
}

TryLookupResult Cache::try_lookup_locked(uint64_t ino, uint64_t chunkno) {
  std::unique_lock lk(mutex);
  if (is_locked(ino, chunkno)) return {ChunkState::busy, {}};
  LRUElement* element = lookup(ino, chunkno);
  if (!element) return {ChunkState::not_cached, {}};
  return {ChunkState::cached, hand_out_locked(*element)};
}

void Cache::release(const LRUElement& element) {
  std::lock_guard lk(mutex);
  unlock(element.ino, element.chunkno);
}

locked_element_ptr Cache::lookup_or_insert(uint64_t ino, uint64_t chunkno, int src_fd,
                                           bool* was_cached) {
  std::unique_lock lk(mutex);
  ChunkHold hold(*this, ino, chunkno, lk);
  LRUElement* element = lookup(ino, chunkno);
  if (was_cached) *was_cached = element != nullptr;
  if (!element) element = insert(ino, chunkno, src_fd, lk);
  if (!element) return {};
  return hold.hand_over(*element);
}

LRUElement* Cache::insert(uint64_t ino, uint64_t chunkno, int src_fd,
                          std::unique_lock<std::mutex>& lk) {
  retire_metadata_locked();
  const std::optional<uint64_t> free_slot = take_slot(ino, lk);
  if (!free_slot) {
    forget_if_empty(ino);
    return nullptr;
  }
  TakenSlot slot(*this, *free_slot);
  const FillScope fill_scope = FillScope::of_insert(*this, ino);
  Fill fill;
  try {
    fill = fill_slot(src_fd, chunkno, slot.get(), lk);
  } catch (const CacheFullError& error) {
    set_aside_for_want_of_room(slot.release(), ino, chunkno, error);
    return nullptr;
  }
  if (find(ino, chunkno))
    throw RuntimeError(boost::format("chunk %d of ino %d already in cache.") % chunkno % ino);
  restamp(ino, chunkno, fill.identity, lk);
  lru.push_front({ino, chunkno, slot.get(), fill.size});
  slot.release();
  index[ino].chunks[chunkno] = lru.begin();
  return &lru.front();
}

std::optional<uint64_t> Cache::take_slot(uint64_t ino, std::unique_lock<std::mutex>& lk) {
  for (;;) {
    if (!free_slots.empty()) {
      const uint64_t slot = free_slots.back();
      free_slots.pop_back();
      return slot;
    }
    // The least recently used chunk that nobody holds; a held chunk is being
    // read or written and its holder may be waiting for this insert's caller.
    auto victim = lru.end();
    for (auto candidate = lru.rbegin(); candidate != lru.rend(); ++candidate) {
      if (!is_locked(candidate->ino, candidate->chunkno)) {
        victim = std::prev(candidate.base());
        break;
      }
    }
    if (victim == lru.end()) {
      // Out of room with no chunk left to replace and no fill that may still
      // link one: waiting would be for ever.
      if (out_of_room && lru.empty() && fills_in_progress == 0) {
        report_admission_stopped();
        return std::nullopt;
      }
      unlocked_cv.wait(lk);
      continue;
    }
    const LRUElement evicted = *victim;
    lru.erase(victim);
    CacheInode& entry = index.at(evicted.ino);
    entry.chunks.erase(evicted.chunkno);
    // The inserting inode keeps its entry: its insert restamps it next.
    if (entry.chunks.empty() && evicted.ino != ino) index.erase(evicted.ino);
    return evicted.cfile_off;
  }
}

Cache::Fill Cache::fill_slot(int src_fd, uint64_t chunkno, uint64_t slot,
                             std::unique_lock<std::mutex>& lk) {
  // The copy is slow; the chunk lock keeps everyone else away from the slot.
  MutexReleased released(lk);
  struct stat source {};
  Fill fill;
  fill.size = copy_chunk(src_fd, chunkno * chunk_size, fd.get(), slot, chunk_size, &source);
  fill.identity = FileIdentity::of(source);
  return fill;
}

void Cache::restamp(uint64_t ino, uint64_t own_chunkno, const FileIdentity& filled_from,
                    std::unique_lock<std::mutex>& lk) {
  for (;;) {
    CacheInode& entry = index[ino];
    if (entry.identity && *entry.identity == filled_from) return;
    // The other chunks were copied from another state of the file: they may
    // predate a change. Their holders never wait while they hold them, except
    // those still filling, which compare their own time after this.
    bool waited = false;
    for (auto chunk = entry.chunks.begin(); chunk != entry.chunks.end();) {
      const ChunkKey key{ino, chunk->first};
      if (chunk->first == own_chunkno || filling.count(key)) {
        ++chunk;
      } else if (is_locked(ino, chunk->first)) {
        wait_until_free(key, lk);
        waited = true;
        break;
      } else {
        chunk = remove_chunk(entry, chunk);
      }
    }
    if (waited) continue;
    entry.identity = filled_from;
    return;
  }
}

void Cache::give_back_slot(uint64_t slot) {
  free_slots.push_back(slot);
  admission_stopped = false;
  unlocked_cv.notify_all();
}

void Cache::forget_if_empty(uint64_t ino) {
  const auto entry = index.find(ino);
  if (entry != index.end() && entry->second.chunks.empty()) index.erase(entry);
}

locked_element_ptr Cache::update(uint64_t ino, uint64_t chunkno, int src_fd) {
  std::unique_lock lk(mutex);
  retire_metadata_locked();
  // Locking before the test waits for an insert of this chunk that may have
  // copied the bytes this write replaced.
  ChunkHold hold(*this, ino, chunkno, lk);
  LRUElement* element = find(ino, chunkno);
  if (!element) return {};
  const FillScope fill_scope = FillScope::of_update(*this, ino, chunkno);
  try {
    const Fill fill = fill_slot(src_fd, chunkno, element->cfile_off, lk);
    element->size = fill.size;
    restamp(ino, chunkno, fill.identity, lk);
  } catch (const CacheFullError& error) {
    discard_failed_update(ino, chunkno, &error);
    return {};
  } catch (...) {
    discard_failed_update(ino, chunkno, nullptr);
    throw;
  }
  return hold.hand_over(*element);
}

void Cache::discard_failed_update(uint64_t ino, uint64_t chunkno, const CacheFullError* no_room) {
  // The slot's contents are undefined now; the source holds the data.
  CacheInode& entry = index.at(ino);
  const auto chunk = entry.chunks.find(chunkno);
  if (no_room) {
    const uint64_t slot = chunk->second->cfile_off;
    lru.erase(chunk->second);
    entry.chunks.erase(chunk);
    set_aside_for_want_of_room(slot, ino, chunkno, *no_room);
  } else {
    remove_chunk(entry, chunk);
  }
}

void Cache::advise(const LRUElement& element) {
  const int result = ::posix_fadvise(fd.get(), static_cast<off_t>(element.cfile_off),
                                     static_cast<off_t>(chunk_size), POSIX_FADV_DONTNEED);
  if (result != 0)
    log_warning(boost::format("posix_fadvise() on cachefile failed with: %s") %
                errno_string(result));
}

void Cache::set_mtime(uint64_t ino, const struct stat& info) {
  std::lock_guard lk(mutex);
  const auto entry = index.find(ino);
  if (entry != index.end() && !entry->second.identity)
    entry->second.identity = FileIdentity::of(info);
}

void Cache::follow_change(uint64_t ino, const FileIdentity& before, const FileIdentity& after) {
  std::lock_guard lk(mutex);
  const auto entry = index.find(ino);
  if (entry != index.end() && entry->second.identity && *entry->second.identity == before)
    entry->second.identity = after;
}

}  // namespace quarnix
