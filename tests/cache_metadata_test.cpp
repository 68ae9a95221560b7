// The metadata file "<cachefile>.meta": round trips, the checks of a load and
// their messages, damaged and hostile files, and a save that cannot complete.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/archive/binary_iarchive.hpp>
#include <boost/archive/binary_oarchive.hpp>
#include <boost/crc.hpp>
#include <boost/serialization/list.hpp>
#include <boost/serialization/unordered_map.hpp>
#include <boost/serialization/vector.hpp>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cache/cache.hpp"
#include "support/errors.hpp"
#include "tests/cache_test_files.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t chunk = 4096;
constexpr uint64_t slots = 6;
const std::string corrupted = "WARNING: Cache data is corrupted, re-initializing.\n";

// The items of the file, read and written as the cache does.
struct Metadata {
  int revision = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};
  unsigned long chunk_size = 0;
  std::vector<unsigned long> free_slots;
  std::list<LRUElement> lru;
  std::unordered_map<unsigned long, FileIdentity> identities;
};

// The CRC-32 of everything before it ends the file.
uint32_t checksum_of(const std::string& bytes) {
  boost::crc_32_type crc;
  crc.process_bytes(bytes.data(), bytes.size());
  return crc.checksum();
}

Metadata read_metadata(const fs::path& path) {
  const std::string bytes = read_file(path);
  std::istringstream in(bytes, std::ios::binary);
  boost::archive::binary_iarchive archive(in);
  Metadata metadata;
  uint32_t checksum = 0;
  archive >> metadata.revision >> metadata.size >> metadata.modified >> metadata.changed >>
      metadata.chunk_size >> metadata.free_slots >> metadata.lru >> metadata.identities >> checksum;
  EXPECT_EQ(checksum, checksum_of(bytes.substr(0, bytes.size() - 4)));
  return metadata;
}

// A file as a cache writes it: sound in form, whatever its contents say.
void write_metadata(const fs::path& path, const Metadata& metadata) {
  std::ostringstream out(std::ios::binary);
  boost::archive::binary_oarchive archive(out);
  archive << metadata.revision << metadata.size << metadata.modified << metadata.changed
          << metadata.chunk_size << metadata.free_slots << metadata.lru << metadata.identities;
  archive << checksum_of(out.str());
  write_file(path, out.str());
}

// The layout before identities and the checksum: modification times only.
void write_revision_1(const fs::path& path, const Metadata& metadata) {
  std::unordered_map<unsigned long, timespec> times;
  for (const auto& [ino, identity] : metadata.identities)
    times.emplace(ino, identity.mtime);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  boost::archive::binary_oarchive archive(out);
  archive << metadata.revision << metadata.size << metadata.modified << metadata.chunk_size
          << metadata.free_slots << metadata.lru << times;
}

std::vector<std::pair<uint64_t, uint64_t>> chunk_order(const std::list<LRUElement>& lru) {
  std::vector<std::pair<uint64_t, uint64_t>> order;
  for (const LRUElement& element : lru)
    order.emplace_back(element.ino, element.chunkno);
  return order;
}

class CacheMetadataTest : public ::testing::Test {
 protected:
  CacheMetadataTest() { make_cache_file(cache_path, slots * chunk); }

  // A cache made in this directory; its messages on standard error go to `err`.
  std::unique_ptr<Cache> open_cache(std::string& err, uint64_t chunk_size = chunk) {
    StreamCapture capture;
    auto cache = std::make_unique<Cache>(cache_path.string(), chunk_size);
    err = capture.err();
    return cache;
  }

  // A cache that holds chunk 0 of `a` and chunks 0 and 1 of `b`, saved and closed.
  void save_three_chunks() {
    std::string err;
    auto cache = open_cache(err);
    for (const auto& [source, chunkno] : {std::pair{&a, 0}, {&b, 0}, {&b, 1}})
      cache->lookup_or_insert(source->ino, chunkno, source->fd.get()).reset();
    cache->save();
  }

  // Each filled chunk changes the cache file's times; metadata that should
  // pass that check takes the current ones.
  Metadata current(const Metadata& saved) const {
    Metadata metadata = saved;
    struct stat cache_stat {};
    EXPECT_EQ(::stat(cache_path.c_str(), &cache_stat), 0);
    metadata.modified = cache_stat.st_mtim;
    metadata.changed = cache_stat.st_ctim;
    return metadata;
  }

  // The first slot that a cache without chunks hands out.
  static constexpr uint64_t first_fresh_slot = (slots - 1) * chunk;
  uint64_t next_slot(Cache& cache) {
    return cache.lookup_or_insert(fresh.ino, 0, fresh.fd.get())->cfile_off;
  }

  TempDir dir;
  fs::path cache_path = dir / "cachefile";
  fs::path meta_path = dir / "cachefile.meta";
  SourceFile a{dir / "a", 4 * chunk};
  SourceFile b{dir / "b", 4 * chunk};
  SourceFile fresh{dir / "fresh", chunk};
};

TEST_F(CacheMetadataTest, RoundTripKeepsOrderFreeSlotsAndIdentities) {
  a.set_mtime(1000, 1);
  b.set_mtime(2000, 2);
  std::string err;
  auto cache = open_cache(err);
  const uint64_t slot_a0 = cache->lookup_or_insert(a.ino, 0, a.fd.get())->cfile_off;
  cache->lookup_or_insert(b.ino, 0, b.fd.get()).reset();
  cache->lookup_or_insert(a.ino, 1, a.fd.get()).reset();
  cache->lookup_locked(a.ino, 0).reset();
  cache->save();
  cache.reset();

  const Metadata saved = read_metadata(meta_path);
  struct stat cache_stat {};
  ASSERT_EQ(::stat(cache_path.c_str(), &cache_stat), 0);
  EXPECT_EQ(saved.revision, 3);
  EXPECT_EQ(saved.size, static_cast<off_t>(slots * chunk));
  EXPECT_TRUE(same_time(saved.modified, cache_stat.st_mtim));
  EXPECT_TRUE(same_time(saved.changed, cache_stat.st_ctim));
  EXPECT_EQ(saved.chunk_size, chunk);
  EXPECT_EQ(saved.free_slots, (std::vector<unsigned long>{0, chunk, 2 * chunk}));
  using Order = std::vector<std::pair<uint64_t, uint64_t>>;
  EXPECT_EQ(chunk_order(saved.lru), (Order{{a.ino, 0}, {a.ino, 1}, {b.ino, 0}}));
  ASSERT_EQ(saved.identities.size(), 2u);
  EXPECT_TRUE(saved.identities.at(a.ino) == FileIdentity::of(a.info()));
  EXPECT_TRUE(saved.identities.at(b.ino) == FileIdentity::of(b.info()));
  EXPECT_TRUE(same_time(saved.identities.at(a.ino).mtime, {1000, 1}));

  cache = open_cache(err);
  EXPECT_EQ(err, "INFO: Loaded 3 cache elements.\n");
  cache->save();  // nothing touched: the same state comes back out
  const Metadata again = read_metadata(meta_path);
  EXPECT_EQ(again.free_slots, saved.free_slots);
  EXPECT_EQ(chunk_order(again.lru), chunk_order(saved.lru));

  cache->validate(a.ino, a.info());
  b.set_mtime(2000, 2);  // the same modification time, but a new change time
  cache->validate(b.ino, b.info());
  {
    const locked_element_ptr kept = cache->lookup_locked(a.ino, 0);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->cfile_off, slot_a0);
    EXPECT_EQ(slot_bytes(*cache, *kept), source_bytes(0, chunk));
  }
  EXPECT_FALSE(cache->lookup_locked(b.ino, 0));
  // The free list keeps its order; b's slot went to its end.
  EXPECT_EQ(next_slot(*cache), 4 * chunk);
}

TEST_F(CacheMetadataTest, EmptyCacheRoundTrip) {
  std::string err;
  open_cache(err)->save();
  auto cache = open_cache(err);
  EXPECT_EQ(err, "INFO: Loaded 0 cache elements.\n");
  EXPECT_EQ(next_slot(*cache), first_fresh_slot);
}

// Every slot a chunk of a file of its own is the largest metadata a cache can
// have: it fits the room reserved at the first write, and loads back.
TEST_F(CacheMetadataTest, TheLargestMetadataFitsItsReserve) {
  constexpr uint64_t many = 1024;
  make_cache_file(cache_path, many * chunk);
  const fs::path reserve = meta_path.string() + ".reserve";
  std::string err;
  auto cache = open_cache(err);
  for (uint64_t k = 0; k < many; ++k) {
    const SourceFile file(dir / ("file" + std::to_string(k)), 1);
    cache->lookup_or_insert(file.ino, 0, file.fd.get()).reset();
  }
  const uintmax_t reserved = fs::file_size(reserve);
  cache->save();
  EXPECT_FALSE(fs::exists(reserve));
  EXPECT_LE(fs::file_size(meta_path), reserved);
  cache.reset();
  cache = open_cache(err);
  EXPECT_EQ(err, "INFO: Loaded 1024 cache elements.\n");
}

TEST_F(CacheMetadataTest, RejectsMetadataOfAnotherCacheFile) {
  save_three_chunks();
  const Metadata saved = read_metadata(meta_path);
  std::string err;
  for (const int revision : {1, 2, 4}) {
    Metadata other = current(saved);
    other.revision = revision;
    if (revision == 1)
      write_revision_1(meta_path, other);
    else
      write_metadata(meta_path, other);
    auto cache = open_cache(err);
    EXPECT_EQ(err, "WARNING: Cache file revision outdated, re-initializing.\n") << revision;
    EXPECT_FALSE(cache->lookup_locked(a.ino, 0));
    EXPECT_EQ(next_slot(*cache), first_fresh_slot);
  }

  write_metadata(meta_path, current(saved));
  EXPECT_EQ(open_cache(err, 2 * chunk)->capacity(), slots / 2);
  EXPECT_EQ(err, "WARNING: Cache file uses different chunk size, re-initializing.\n");

  write_metadata(meta_path, current(saved));
  const timespec times[2] = {{0, UTIME_OMIT}, {12345, 678}};
  ASSERT_EQ(::utimensat(AT_FDCWD, cache_path.c_str(), times, 0), 0);
  open_cache(err);
  EXPECT_EQ(err, "WARNING: Cache file was modified externally, re-initializing.\n");
  Metadata other_change = current(saved);
  other_change.changed.tv_nsec ^= 1;
  write_metadata(meta_path, other_change);
  open_cache(err);
  EXPECT_EQ(err, "WARNING: Cache file was modified externally, re-initializing.\n");

  write_metadata(meta_path, current(saved));
  fs::resize_file(cache_path, (slots + 1) * chunk);  // changes the time as well
  auto cache = open_cache(err);
  EXPECT_EQ(err, "WARNING: Cache file changed size, re-initializing.\n");
  EXPECT_EQ(next_slot(*cache), slots * chunk);
}

// The little-endian bytes of a 64-bit number, as the archive stores counts.
std::string count_bytes(uint64_t count) {
  std::string bytes(8, '\0');
  for (int byte = 0; byte < 8; ++byte)
    bytes[byte] = static_cast<char>(count >> (8 * byte));
  return bytes;
}

// Bytes whose checksum matches again, as a hostile file's would.
std::string with_checksum(std::string bytes) {
  const uint32_t checksum = checksum_of(bytes.substr(0, bytes.size() - 4));
  std::memcpy(bytes.data() + bytes.size() - 4, &checksum, 4);
  return bytes;
}

TEST_F(CacheMetadataTest, TruncatedOrForeignFilesReinitialize) {
  save_three_chunks();
  const Metadata saved = read_metadata(meta_path);
  const std::vector<std::function<std::string(const std::string&)>> damage = {
      [](const std::string& whole) { return whole.substr(0, whole.size() / 2); },
      [](const std::string& whole) { return whole.substr(0, 20); },
      // The archive's signature and nothing else: its version would be read at the end.
      [](const std::string& whole) { return whole.substr(0, 30); },
      [](const std::string& whole) { return whole.substr(0, whole.size() - 1); },
      // Also a huge length for the archive's signature.
      [](const std::string&) { return std::string(300, '\x5a'); },
      [](const std::string&) { return std::string(); },
      // A free-slot count of 2^40, which must not be allocated before the
      // data is found missing.
      [](std::string whole) {
        const std::size_t count_at = whole.find(count_bytes(3) + count_bytes(0));
        EXPECT_NE(count_at, std::string::npos);
        return with_checksum(whole.replace(count_at, 8, count_bytes(uint64_t{1} << 40)));
      },
  };
  for (const auto& damaged : damage) {
    write_metadata(meta_path, current(saved));
    write_file(meta_path, damaged(read_file(meta_path)));
    std::string err;
    auto cache = open_cache(err);
    EXPECT_GE(err.size(), corrupted.size());
    EXPECT_EQ(err.substr(err.size() - std::min(err.size(), corrupted.size())), corrupted) << err;
    EXPECT_EQ(next_slot(*cache), first_fresh_slot);
  }
}

// Whatever bit changes, nothing of the file is used.
TEST_F(CacheMetadataTest, EveryFlippedBitIsCaught) {
  save_three_chunks();
  write_metadata(meta_path, current(read_metadata(meta_path)));
  const std::string good = read_file(meta_path);
  for (std::size_t at = 0; at < good.size(); ++at) {
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ (1 << (at % 8)));
    write_file(meta_path, bad);
    std::string err;
    auto cache = open_cache(err);
    EXPECT_EQ(err.find("INFO: Loaded"), std::string::npos) << "byte " << at << ": " << err;
    EXPECT_NE(err.find(" re-initializing.\n"), std::string::npos) << "byte " << at << ": " << err;
    EXPECT_EQ(next_slot(*cache), first_fresh_slot) << "byte " << at;
  }
}

TEST_F(CacheMetadataTest, HostileSlotsAndChunksAreRejected) {
  save_three_chunks();
  const Metadata saved = read_metadata(meta_path);
  const std::vector<std::pair<std::string, std::function<void(Metadata&)>>> cases = {
      {"free slot not at a slot boundary", [](Metadata& m) { m.free_slots[0] += 1; }},
      {"free slot past the file", [](Metadata& m) { m.free_slots[0] = slots * chunk; }},
      {"used slot past the file", [](Metadata& m) { m.lru.front().cfile_off = 1000 * chunk; }},
      {"used slot not at a slot boundary", [](Metadata& m) { m.lru.front().cfile_off += 512; }},
      {"slot free and used", [](Metadata& m) { m.free_slots[0] = m.lru.front().cfile_off; }},
      {"slot used twice", [](Metadata& m) { m.lru.back().cfile_off = m.lru.front().cfile_off; }},
      {"chunk listed twice",
       [](Metadata& m) {
         m.lru.back().ino = m.lru.front().ino;
         m.lru.back().chunkno = m.lru.front().chunkno;
       }},
      {"chunk larger than a slot", [](Metadata& m) { m.lru.front().size = chunk + 1; }},
      {"slot missing", [](Metadata& m) { m.free_slots.pop_back(); }},
      {"slot too many", [](Metadata& m) { m.free_slots.push_back(m.free_slots.back()); }},
      {"huge offset", [](Metadata& m) { m.lru.front().cfile_off = ~0ul - chunk + 1; }},
      // Nothing could validate its chunks; a save lists none such.
      {"chunks of a file without identity", [this](Metadata& m) { m.identities.erase(b.ino); }},
  };
  for (const auto& [name, change] : cases) {
    Metadata metadata = current(saved);
    change(metadata);
    write_metadata(meta_path, metadata);
    std::string err;
    auto cache = open_cache(err);
    EXPECT_EQ(err, corrupted) << name;
    EXPECT_FALSE(cache->lookup_locked(b.ino, 0)) << name;
    EXPECT_EQ(next_slot(*cache), first_fresh_slot) << name;
  }
}

// A save that cannot be completed fails with the reason and leaves the
// previous metadata file as it was.
TEST_F(CacheMetadataTest, FailedSaveKeepsThePreviousFile) {
  const TmpfsMount small(dir / "small", "256k");
  const fs::path small_cache = small.mountpoint / "cachefile";
  write_file(small_cache, std::string(slots * chunk, '\0'));  // allocated, not sparse
  {
    StreamCapture capture;
    Cache cache(small_cache.string(), chunk);
    cache.lookup_or_insert(a.ino, 0, a.fd.get()).reset();
    cache.save();
    const std::string previous = read_file(small_cache.string() + ".meta");

    write_file(small.mountpoint / "filler", std::string(1 << 20, 'f'));  // fills the tmpfs
    try {
      cache.save();
      ADD_FAILURE() << "no exception";
    } catch (const RuntimeError& error) {
      EXPECT_EQ(std::string(error.what()), "Failed to write cache metadata " +
                                               small_cache.string() +
                                               ".meta: No space left on device");
    }
    EXPECT_EQ(read_file(small_cache.string() + ".meta"), previous);
  }
  EXPECT_EQ(names_in(small.mountpoint),
            (std::vector<std::string>{"cachefile", "cachefile.meta", "filler"}));
}

// After a crash, metadata saved before a write into the cache file would
// vouch for slots that the write changed: the first write removes it.
TEST_F(CacheMetadataTest, WritesRemoveTheMetadataFirst) {
  save_three_chunks();
  const std::vector<std::pair<std::string, std::function<void(Cache&)>>> writes = {
      {"insert", [this](Cache& cache) { next_slot(cache); }},
      {"update", [this](Cache& cache) { cache.update(a.ino, 0, a.fd.get()); }},
      {"explicit", [](Cache& cache) { cache.retire_metadata(); }},
  };
  for (const auto& [name, write] : writes) {
    std::string err;
    auto cache = open_cache(err);
    EXPECT_EQ(err.rfind("INFO: Loaded ", 0), 0u) << name << ": " << err;
    cache->lookup_locked(b.ino, 0).reset();  // reading writes nothing
    EXPECT_TRUE(fs::exists(meta_path)) << name;
    write(*cache);
    EXPECT_FALSE(fs::exists(meta_path)) << name;
    cache->save();
    EXPECT_TRUE(fs::exists(meta_path)) << name;
  }
}

}  // namespace
}  // namespace quarnix::testing
