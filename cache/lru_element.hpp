// One cached chunk and the archive members that the metadata file uses for
// it and for modification times.
#pragma once

#include <time.h>

#include <cstdint>

namespace quarnix {

struct LRUElement {
  uint64_t ino = 0;        // source inode number (st_ino), stable across mounts
  uint64_t chunkno = 0;    // holds file bytes chunkno * chunk_size onwards
  uint64_t cfile_off = 0;  // offset of the chunk's slot in the cache file
  uint64_t size = 0;       // bytes of file data in the slot

  template <class Archive>
  void serialize(Archive& archive, unsigned int /*version*/) {
    archive& ino& chunkno& cfile_off& size;
  }
};

inline bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace quarnix

namespace boost::serialization {

template <class Archive>
void serialize(Archive& archive, timespec& time, unsigned int /*version*/) {
  archive& time.tv_sec& time.tv_nsec;
}

}  // namespace boost::serialization
