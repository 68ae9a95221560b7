// Copies file data from a source descriptor into the cache file.
#pragma once

#include <sys/stat.h>

#include <cstdint>

#include "support/errors.hpp"

namespace quarnix {

// The cache file had no room for the chunk (a sparse cache file on a full
// filesystem, a quota): the read can still be served from the source.
class CacheFullError : public RuntimeError {
 public:
  using RuntimeError::RuntimeError;
};

// Copies up to `length` bytes at `in_offset` of `in_fd` to `out_offset` of
// `out_fd`, stopping at the end of the source file; returns the bytes
// copied. The source's fstat taken before the copy is stored in
// `source_stat` when given. Throws CacheFullError when the cache file has no
// room, RuntimeError when another call fails.
uint64_t copy_chunk(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset, uint64_t length,
                    struct stat* source_stat = nullptr);

}  // namespace quarnix
