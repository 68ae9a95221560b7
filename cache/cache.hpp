// The block cache: fixed-size chunks of source files kept in the slots of one
// pre-sized cache file, with LRU eviction, chunk locks, validation by the
// file's identity and the metadata file "<cachefile>.meta".
#pragma once

#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <boost/functional/hash.hpp>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cache/copy_chunk.hpp"
#include "cache/file_identity.hpp"
#include "cache/locked_element_ptr.hpp"
#include "cache/lru_element.hpp"
#include "cache/metadata_reserve.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

// Index entry of one source inode.
struct CacheInode {
  // The source file's identity when its cached chunks were copied.
  std::optional<FileIdentity> identity;
  std::unordered_map<uint64_t, std::list<LRUElement>::iterator> chunks;
};

// What Cache::try_lookup_locked found.
enum class ChunkState {
  cached,      // the element is held locked
  not_cached,  // nothing is locked
  busy,        // another thread holds the chunk; nothing is locked
};

struct TryLookupResult {
  ChunkState state = ChunkState::not_cached;
  locked_element_ptr element;
};

// The chunks of one read, locked (see Cache::lookup_run_locked).
struct LockedRun {
  std::vector<locked_element_ptr> chunks;  // in ascending chunk order
  std::optional<uint64_t> missing;         // the first chunk of the range not cached
};

// Chunk locks are held across calls: lookup_locked, lookup_run_locked,
// lookup_or_insert and update hand chunks out locked, and a thread waiting
// for a chunk, a slot or a fill gives the cache mutex up. What keeps them
// free of deadlock:
// 1. A thread holds chunks of one file only, taken in ascending chunk order.
// 2. A thread that holds a chunk never waits for another one. A read of
//    several chunks takes them all at once with lookup_run_locked: while one
//    of them is busy it holds none and waits, then starts over. Every other
//    holder (the fill in do_read, the refresh after a write, drop_chunk)
//    takes one chunk at a time and lets it go before taking the next.
// 3. The one exception: an insert or an update waits while it holds the
//    chunk it fills, for a free slot or an evictable chunk, and (when the
//    source changed) for the file's other chunks to be let go. Those are held
//    by threads that do not wait (rule 2) or by updates that wait only for
//    such threads: nobody waits for a chunk being filled while holding one,
//    because eviction and restamp pass over chunks being filled and an
//    insert's chunk joins the index only when its copy is done.
// 4. Drops, validation and the save wait holding no chunk.
// So a thread that holds chunk k of a file and needs a slot for another
// chunk never waits for a thread that waits for chunk k.
class Cache {
 public:
  // Reports a broken invariant found while saving the metadata, as one line.
  // The daemon opens a crash report with it; a cache of its own (a test's)
  // writes the line to standard error.
  using ErrorReporter = std::function<void(const std::string& line)>;

  // Opens the cache file, which must already exist with the wanted size,
  // locks it against other daemons, and takes over the chunks listed in
  // "<path>.meta" when that file is sound.
  Cache(const std::string& path, uint64_t chunk_size, ErrorReporter report_error = {});
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;

  const uint64_t chunk_size;
  // Read replies point into the cache file through this descriptor.
  const UniqueFd fd;
  // Reads with a request answered (hits) or not answered (misses) from the
  // cache; counted by the read path. Never reset.
  std::atomic<int64_t> hits{0};
  std::atomic<int64_t> misses{0};

  uint64_t capacity() const { return nslots; }

  // Locks the chunk (waiting while another thread holds it) and returns it
  // when it is cached; a miss leaves it unlocked.
  locked_element_ptr lookup_locked(uint64_t ino, uint64_t chunkno);
  // Locks the cached chunks `first` to `last` of the inode all at once, in
  // ascending order, stopping at the first chunk that is not cached (reported
  // as missing) or after one shorter than chunk_size (the file ends there).
  // While another thread holds one of them it holds none and waits.
  LockedRun lookup_run_locked(uint64_t ino, uint64_t first, uint64_t last);
  // Never waits: a chunk that another thread holds is reported busy.
  TryLookupResult try_lookup_locked(uint64_t ino, uint64_t chunkno);
  // Unlocks a chunk handed out locked (done by locked_element_ptr).
  void release(const LRUElement& element);
  // Returns the chunk locked, copying it from `src_fd` into a slot when it is
  // not cached; `was_cached` tells which. Empty when the cache file's
  // filesystem had no room for it (the cache reports that itself).
  locked_element_ptr lookup_or_insert(uint64_t ino, uint64_t chunkno, int src_fd,
                                      bool* was_cached = nullptr);
  // Copies a cached chunk again from `src_fd` and returns it locked; empty
  // when the chunk is not cached, or left the cache for want of room.
  locked_element_ptr update(uint64_t ino, uint64_t chunkno, int src_fd);
  // Drops the slot of a chunk the caller holds from the page cache.
  void advise(const LRUElement& element);

  // Drops the inode's chunks unless they were copied from the file that
  // `info` (its current fstat) describes.
  void validate(uint64_t ino, const struct stat& info);
  // Stores the identity in `info` for an inode whose entry has none yet; one
  // recorded when chunks were copied is never overwritten.
  void set_mtime(uint64_t ino, const struct stat& info);
  // A change made through the daemon took the file from `before` to `after`,
  // and the chunks it touched are copied again: the other chunks are still
  // the file's, and the inode keeps them under `after`. When the cache holds
  // another identity than `before`, the file changed some other way too, and
  // the next validation judges the chunks.
  void follow_change(uint64_t ino, const FileIdentity& before, const FileIdentity& after);
  // Each returns true when it found something to drop.
  bool drop_chunk(uint64_t ino, uint64_t chunkno);
  bool drop(uint64_t ino);
  // Drops the chunks `first_chunk` and above, for a file that shrank.
  bool drop_from(uint64_t ino, uint64_t first_chunk);

  // Removes "<path>.meta" for good before anything is written into the cache
  // file: after a crash, metadata from before the writes would describe slots
  // that were reused. Done at the first write unless called before. Then
  // takes the room that the next save needs, before the chunks can take it;
  // without it (a warning) the save may find no room.
  void retire_metadata();

  // Writes "<path>.meta" from a consistent snapshot once the cache file's data
  // is on the disk, replacing the old file only once the new one is complete,
  // into the room taken when the old one was retired.
  // Chunks copied after the save change the cache file, so the next start may
  // reject the metadata: call it when nothing fills the cache any more.
  void save();

 private:
  using ChunkKey = std::pair<uint64_t, uint64_t>;  // (ino, chunkno)
  using LruPosition = std::list<LRUElement>::iterator;
  using ChunkPosition = std::unordered_map<uint64_t, LruPosition>::iterator;

  // What a copy into a slot produced.
  struct Fill {
    uint64_t size = 0;
    FileIdentity identity;  // the source as seen for the copy
  };

  // Owners of the bookkeeping pairs, in cache/cache_scopes.hpp.
  class ChunkHold;
  class FillScope;
  class TakenSlot;

  using Identities = std::unordered_map<unsigned long, FileIdentity>;
  // The largest metadata file that this many slots can need.
  uint64_t max_metadata_size() const;
  bool load(const std::string& bytes, const struct stat& cache_stat);
  // The metadata file's contents; counts the inodes left out for want of an identity.
  std::string archive_state(std::size_t& inodes_without_identity) const;
  void take_over(std::vector<uint64_t> stored_free_slots, std::list<LRUElement> stored_lru,
                 const Identities& identities);
  void retire_metadata_locked();
  void reserve_metadata_room();
  void write_metadata(const std::string& contents);
  bool sound_metadata(const std::vector<uint64_t>& slots_free,
                      const std::list<LRUElement>& elements, const Identities& identities) const;
  void reinitialize();

  bool is_locked(uint64_t ino, uint64_t chunkno) const;
  bool lock(uint64_t ino, uint64_t chunkno, std::unique_lock<std::mutex>& lk);
  void unlock(uint64_t ino, uint64_t chunkno);
  // Locks a chunk that nobody holds and hands it to the caller.
  locked_element_ptr hand_out_locked(LRUElement& element);
  // Waits until nobody holds the chunk; true when it had to wait (the
  // containers may have changed meanwhile).
  bool wait_until_free(const ChunkKey& key, std::unique_lock<std::mutex>& lk);
  LruPosition position(uint64_t ino, uint64_t chunkno);
  LRUElement* find(uint64_t ino, uint64_t chunkno);
  LRUElement* lookup(uint64_t ino, uint64_t chunkno);

  // Null when no slot could take the chunk for want of room.
  LRUElement* insert(uint64_t ino, uint64_t chunkno, int src_fd, std::unique_lock<std::mutex>& lk);
  std::optional<uint64_t> take_slot(uint64_t ino, std::unique_lock<std::mutex>& lk);
  Fill fill_slot(int src_fd, uint64_t chunkno, uint64_t slot, std::unique_lock<std::mutex>& lk);
  void restamp(uint64_t ino, uint64_t own_chunkno, const FileIdentity& filled_from,
               std::unique_lock<std::mutex>& lk);
  // Takes out a chunk whose update failed: its slot holds nothing sound.
  void discard_failed_update(uint64_t ino, uint64_t chunkno, const CacheFullError* no_room);
  // A fill into `slot` found the cache file's filesystem full.
  void set_aside_for_want_of_room(uint64_t slot, uint64_t ino, uint64_t chunkno,
                                  const CacheFullError& error);
  void report_admission_stopped();
  void give_back_slot(uint64_t slot);
  void forget_if_empty(uint64_t ino);

  ChunkPosition remove_chunk(CacheInode& entry, ChunkPosition chunk);
  bool drop_chunks(uint64_t ino, const std::function<bool(uint64_t)>& selected,
                   std::unique_lock<std::mutex>& lk);
  bool wait_for_fills(uint64_t ino, const std::function<bool(uint64_t)>& selected,
                      std::unique_lock<std::mutex>& lk);

  uint64_t nslots = 0;
  const std::string path;
  const ErrorReporter report_error;
  // Offsets of free slots; taken from and returned to the back.
  std::vector<uint64_t> free_slots;
  std::mutex mutex;  // guards everything below and free_slots
  // Set once a fill found no room in the cache file's filesystem (a sparse
  // cache file on a full one). The slots free then may lie in holes that
  // cannot be filled: they are set aside with the slot that failed, and
  // chunks take the slots of chunks that held data, by eviction when none is
  // free. The next start finds them free again.
  bool out_of_room = false;
  std::vector<uint64_t> doubtful_slots;
  // Reported when nothing is left to replace, once until a slot frees.
  bool admission_stopped = false;
  bool metadata_retired = false;
  // The room of the next save, taken when the metadata was retired.
  std::unique_ptr<MetadataReserve> metadata_reserve;
  std::unordered_set<ChunkKey, boost::hash<ChunkKey>> locked;
  // Notified whenever a chunk is unlocked, a slot becomes free or a copy ends.
  std::condition_variable unlocked_cv;
  std::list<LRUElement> lru;  // most recently used first
  std::unordered_map<uint64_t, CacheInode> index;
  // Locked chunks whose holder copies data and will still compare its fill
  // identity with the inode's; another thread's restamp leaves them to it.
  std::unordered_set<ChunkKey, boost::hash<ChunkKey>> filling;
  // Inserts between taking a slot and linking it, and updates between
  // locking and restamping: the state a save must not see half done.
  int fills_in_progress = 0;
};

}  // namespace quarnix
