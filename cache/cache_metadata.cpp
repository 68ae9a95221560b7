// The metadata file "<cachefile>.meta": which slot holds which chunk, the
// free slots and the identities of the cached files, ending in a checksum;
// written at exit and read at start.
#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <boost/archive/binary_oarchive.hpp>
#include <boost/crc.hpp>
#include <boost/serialization/list.hpp>
#include <boost/serialization/unordered_map.hpp>
#include <boost/serialization/vector.hpp>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string_view>

#include "cache/cache.hpp"
#include "cache/durable_files.hpp"
#include "support/bounded_binary_archive.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/replacement_file.hpp"

namespace quarnix {

namespace {

// 3: the cache file's change time follows its modification time.
constexpr int metadata_revision = 3;

// Room for the archive's header, the single items, the checksum and the
// collections' counts and class information (written once per type).
constexpr uint64_t metadata_fixed_size = 4096;
// In the archive a free slot is its offset (8 bytes), a chunk its four fields
// (32), and the identity of a chunk's inode its key and fields (8 + 40), at
// most one per chunk. Each slot counts all three: 8 bytes of margin.
constexpr uint64_t metadata_size_per_slot =
    sizeof(uint64_t) + sizeof(LRUElement) + sizeof(unsigned long) + sizeof(FileIdentity);

using Checksum = uint32_t;

// Over every byte of the file before the checksum, which ends it.
Checksum checksum_of(std::string_view bytes) {
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  return crc.checksum();
}

bool checksum_matches(const std::string& bytes) {
  if (bytes.size() < sizeof(Checksum)) return false;
  const std::size_t covered = bytes.size() - sizeof(Checksum);
  Checksum stored = 0;
  std::memcpy(&stored, bytes.data() + covered, sizeof stored);  // as the archive wrote it
  return stored == checksum_of(std::string_view(bytes).substr(0, covered));
}

}  // namespace

void Cache::save() {
  std::size_t inodes_without_identity = 0;
  {
    // Held until the file is committed: a write into the cache file in
    // between would make it describe slots that no longer hold what it says.
    std::unique_lock lk(mutex);
    // A fill in progress owns a slot that is neither free nor listed, and
    // changes the cache file after the fstat below.
    unlocked_cv.wait(lk, [this] { return fills_in_progress == 0; });
    // The slots must be on the disk before metadata that vouches for them is.
    // The cache file's times are taken after that: a filesystem that sets
    // them when it writes the data back would otherwise change them later.
    if (::fsync(fd.get()) != 0) throw RuntimeError("Failed to sync cachefile " + path, errno);
    write_metadata(archive_state(inodes_without_identity));
    metadata_retired = false;
  }
  // Reported after the mutex is released: a report may take a core dump.
  for (std::size_t report = 0; report < inodes_without_identity; ++report)
    report_error("INTERNAL ERROR: Cache::save(): mtime not set");
}

void Cache::write_metadata(const std::string& contents) {
  const std::string meta_path = path + ".meta";
  const std::string failure = "Failed to write cache metadata " + meta_path;
  if (const std::unique_ptr<MetadataReserve> reserve = std::move(metadata_reserve)) {
    reserve->commit(contents, failure);
  } else {
    // Without a reserve: no write since the last save or load, or no room at
    // the retirement. Whatever holds the name, even a link or a FIFO that
    // someone planted there, gives way to a file of the daemon's own, which
    // only the daemon may read or change, whatever the umask it runs with.
    ReplacementFile file(meta_path, failure, 0600, OutputTarget::own);
    file.write(contents);
    file.commit();
  }
  sync_directory_of(meta_path, failure);
}

std::string Cache::archive_state(std::size_t& inodes_without_identity) const {
  struct stat cache_stat {};
  if (::fstat(fd.get(), &cache_stat) != 0) throw RuntimeError("Failed to fstat cachefile", errno);
  Identities identities;
  for (const auto& [ino, entry] : index) {
    if (entry.identity)
      identities.emplace(ino, *entry.identity);
    else
      ++inodes_without_identity;
  }
  const int revision = metadata_revision;
  const off_t size = cache_stat.st_size;
  const timespec modified = cache_stat.st_mtim;
  const timespec changed = cache_stat.st_ctim;
  const unsigned long saved_chunk_size = chunk_size;
  // Slots set aside for want of room are free again at the next start,
  // behind the others, which are taken first.
  std::vector<unsigned long> saved_free_slots(doubtful_slots.begin(), doubtful_slots.end());
  saved_free_slots.insert(saved_free_slots.end(), free_slots.begin(), free_slots.end());
  // A chunk that no identity vouches for cannot be validated at the next
  // start, which refuses a file that lists one: its slot is saved as free.
  std::list<LRUElement> saved_lru;
  for (const LRUElement& element : lru) {
    if (identities.count(element.ino))
      saved_lru.push_back(element);
    else
      saved_free_slots.push_back(element.cfile_off);
  }
  const Identities& saved_identities = identities;
  std::ostringstream items(std::ios::out | std::ios::binary);
  {
    boost::archive::binary_oarchive archive(items);
    archive << revision << size << modified << changed << saved_chunk_size << saved_free_slots
            << saved_lru << saved_identities;
    const Checksum checksum = checksum_of(items.view());
    archive << checksum;
  }
  return std::move(items).str();
}

uint64_t Cache::max_metadata_size() const {
  return metadata_fixed_size + nslots * metadata_size_per_slot;
}

bool Cache::load(const std::string& bytes, const struct stat& cache_stat) {
  std::stringbuf buffer(bytes, std::ios::in | std::ios::binary);
  BoundedBinaryArchive archive(buffer);
  int revision = 0;
  archive >> revision;
  if (revision != metadata_revision) {
    write_line(std::cerr, "WARNING: Cache file revision outdated, re-initializing.");
    return false;
  }
  if (!checksum_matches(bytes)) {
    write_line(std::cerr, "WARNING: Cache data is corrupted, re-initializing.");
    return false;
  }
  off_t size = 0;
  archive >> size;
  if (size != cache_stat.st_size) {
    write_line(std::cerr, "WARNING: Cache file changed size, re-initializing.");
    return false;
  }
  timespec modified{};
  timespec changed{};
  archive >> modified >> changed;
  // Bytes written with the modification time set back still change the change time.
  if (!same_time(modified, cache_stat.st_mtim) || !same_time(changed, cache_stat.st_ctim)) {
    write_line(std::cerr, "WARNING: Cache file was modified externally, re-initializing.");
    return false;
  }
  unsigned long stored_chunk_size = 0;
  archive >> stored_chunk_size;
  if (stored_chunk_size != chunk_size) {
    write_line(std::cerr, "WARNING: Cache file uses different chunk size, re-initializing.");
    return false;
  }
  std::vector<unsigned long> stored_free_slots;
  std::list<LRUElement> stored_lru;
  Identities identities;
  Checksum checksum = 0;
  archive >> stored_free_slots >> stored_lru >> identities >> checksum;
  if (archive.remaining() != 0 || !sound_metadata(stored_free_slots, stored_lru, identities)) {
    write_line(std::cerr, "WARNING: Cache data is corrupted, re-initializing.");
    return false;
  }
  take_over(std::move(stored_free_slots), std::move(stored_lru), identities);
  return true;
}

void Cache::take_over(std::vector<uint64_t> stored_free_slots, std::list<LRUElement> stored_lru,
                      const Identities& identities) {
  free_slots = std::move(stored_free_slots);
  lru = std::move(stored_lru);
  index.clear();
  for (auto element = lru.begin(); element != lru.end(); ++element) {
    CacheInode& entry = index[element->ino];
    entry.identity = identities.at(element->ino);
    entry.chunks[element->chunkno] = element;
  }
}

// The file comes from outside: every slot must lie in the cache file and be
// either free or used exactly once, no chunk may be listed twice, and every
// chunk's file must have the identity that validates it (a save lists no
// other).
bool Cache::sound_metadata(const std::vector<uint64_t>& slots_free,
                           const std::list<LRUElement>& elements,
                           const Identities& identities) const {
  if (slots_free.size() + elements.size() != nslots) return false;
  std::vector<bool> slot_seen(nslots, false);
  const auto claim = [&](uint64_t offset) {
    if (offset % chunk_size != 0 || offset / chunk_size >= nslots) return false;
    if (slot_seen[offset / chunk_size]) return false;
    slot_seen[offset / chunk_size] = true;
    return true;
  };
  for (const uint64_t offset : slots_free) {
    if (!claim(offset)) return false;
  }
  std::unordered_set<ChunkKey, boost::hash<ChunkKey>> chunks;
  for (const LRUElement& element : elements) {
    if (!claim(element.cfile_off) || element.size > chunk_size) return false;
    if (!identities.count(element.ino)) return false;
    if (!chunks.insert({element.ino, element.chunkno}).second) return false;
  }
  return true;
}

}  // namespace quarnix
