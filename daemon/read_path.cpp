#include <time.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <new>
#include <vector>

#include "daemon/materialization_parking.hpp"
#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/page_cache.hpp"
#include "daemon/read_path_scoring.hpp"
#include "daemon/reply.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

constexpr std::size_t max_cache_reply_buffers = 32;

// A buffer vector with room for the chunks of one cache reply. libfuse's
// vector ends in an array of one buffer that its users extend, so the vector
// is placed at the start of storage sized for all of them: a vector object
// followed by further members would be indexed beyond its own array.
struct CacheReply {
  CacheReply() : vector(new (storage) fuse_bufvec{}) {}
  CacheReply(const CacheReply&) = delete;
  CacheReply& operator=(const CacheReply&) = delete;

  void add(int fd, off_t pos, size_t size) {
    fuse_buf& buffer = vector->buf[vector->count++];
    buffer = fuse_buf{};
    buffer.flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    buffer.fd = fd;
    buffer.pos = pos;
    buffer.size = size;
  }
  std::size_t count() const { return vector->count; }

  alignas(fuse_bufvec) unsigned char storage[sizeof(fuse_bufvec) +
                                             (max_cache_reply_buffers - 1) * sizeof(fuse_buf)];
  fuse_bufvec* const vector;
};

// Answers the read from the cache when every chunk of the range is there;
// false when the read must go on to the source.
bool read_from_cache(fuse_req_t req, const InodeRecord& inode, size_t size, off_t off) {
  Cache& cache = *state.cache;
  const uint64_t chunk_size = cache.chunk_size;
  const uint64_t first = static_cast<uint64_t>(off) / chunk_size;
  uint64_t inner = static_cast<uint64_t>(off) % chunk_size;
  uint64_t remaining = size;
  // One chunk more than a reply holds tells a read too large for the cache.
  LockedRun run;
  if (size > 0) {
    const uint64_t last = (static_cast<uint64_t>(off) + size - 1) / chunk_size;
    run = cache.lookup_run_locked(inode.ino, first,
                                  std::min<uint64_t>(last, first + max_cache_reply_buffers));
  }
  bool all_cached = true;
  CacheReply reply;
  for (const locked_element_ptr& element : run.chunks) {
    const LRUElement& cached = *element;
    debug_line(4, DebugStyle::tagged, [&] {
      return boost::format("read(): found chunk %d of inode %d in cache at position %d") %
             cached.chunkno % inode.ino % cached.cfile_off;
    });
    if (reply.count() == max_cache_reply_buffers) {
      write_line(std::cerr,
                 "WARNING: Chunk size too small to satisfy read request, bypassing cache.");
      all_cached = false;
      break;
    }
    if (inner < cached.size) {
      const uint64_t taken = std::min(remaining, cached.size - inner);
      reply.add(cache.fd.get(), static_cast<off_t>(cached.cfile_off + inner), taken);
      remaining -= taken;
    }
    if (cached.size != chunk_size) {
      debug_line(4, DebugStyle::tagged, [&] {
        return boost::format("read(): chunk %d of inode %d is last.") % cached.chunkno % inode.ino;
      });
      break;
    }
    inner = 0;
  }
  if (run.missing) {
    debug_line(4, DebugStyle::tagged, [&] {
      return boost::format("read(): chunk %d of inode %d not cached.") % *run.missing % inode.ino;
    });
    all_cached = false;
  }
  if (!all_cached) {
    if (req) ++cache.misses;
    return false;
  }
  if (!req) {
    debug_line(4, DebugStyle::tagged, "read(): readahead data already in cache, returning.");
    return true;
  }
  debug_line(4, DebugStyle::tagged, "read(): responding from cache.");
  ++cache.hits;
  // The chunks stay locked until the reply and the advice are done.
  reply_data(req, reply.vector, transfer_flags());
  if (!advise_dontneed(*reply.vector)) log_warning("read(): advise_dontneed (on cache) failed.");
  return true;
}

// Copies the missing chunks of the range from the source into the cache.
void fill_cache(fuse_req_t req, const InodeRecord& inode, size_t size, off_t off,
                const OpenFile& file) {
  Cache& cache = *state.cache;
  const uint64_t chunk_size = cache.chunk_size;
  const uint64_t first = static_cast<uint64_t>(off) / chunk_size;
  const uint64_t last = (static_cast<uint64_t>(off) + size - 1) / chunk_size;
  for (uint64_t k = first; k <= last; ++k) {
    bool was_cached = false;
    // Held for this chunk only: no chunk is held while the next one is taken.
    const locked_element_ptr element =
        cache.lookup_or_insert(inode.ino, k, file.cache_fd(), &was_cached);
    // No room in the cache file: reads go on from the source.
    if (!element) return;
    if (was_cached) {
      debug_line(4, DebugStyle::tagged, [&] {
        return boost::format("do_read(): chunk %d of inode %d is already cached.") % k % inode.ino;
      });
      continue;
    }
    // Pages of chunks filled for a request leave the page cache; prefetched ones stay.
    if (req) cache.advise(*element);
    debug_line(4, DebugStyle::tagged, [&] {
      return boost::format("do_read(): wrote chunk %d of inode %d to cache at position %d") % k %
             inode.ino % element->cfile_off;
    });
    if (element->size < chunk_size) {
      debug_line(4, DebugStyle::tagged, "do_read(): reached EOF, not adding more chunks");
      break;
    }
  }
}

// --delay-reads: a byte-rate limit when positive, a fixed delay per request when negative.
void delay_source_read(size_t size) {
  const double rate = delay_reads;
  if (rate == 0) return;
  const double seconds = rate > 0 ? static_cast<double>(size) / rate : -rate;
  timespec remaining{};
  remaining.tv_sec = static_cast<time_t>(seconds);
  remaining.tv_nsec = static_cast<long>((seconds - static_cast<double>(remaining.tv_sec)) * 1e9);
  while (::nanosleep(&remaining, &remaining) != 0) {
    if (errno == EINTR) continue;
    log_error(boost::format("do_read(): nanosleep() failed with: %s\n") % errno_string(errno));
    return;
  }
}

}  // namespace

int read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  const bool internal = req == nullptr;
  InodeRecord& inode = get_inode(ino);
  debug_line(4, DebugStyle::tagged, [&] {
    if (internal)
      return boost::format("read(ino=%d, size=%d, off=%d) from readahead") % ino % size % off;
    const fuse_ctx* context = fuse_req_ctx(req);
    return boost::format("read(ino=%d, size=%d, off=%d) from uid=%d, tid=%d") % ino % size % off %
           context->uid % context->pid;
  });
  if (internal)
    debug_line(4, DebugStyle::tagged, "read(): is internal readahead, skipping state update.");
  if (state.oplog.enabled && !internal)
    state.oplog.write_read(inode.log_id, static_cast<int64_t>(off), static_cast<uint64_t>(size));
  if (state.readahead && !internal) score_read(inode, ino, static_cast<uint64_t>(off), size);
  if (state.cache && read_from_cache(req, inode, size, off)) return 0;
  if (inode.mat_record)
    if (const std::optional<int> result = park_read(req, inode, ino, size, off, fi)) return *result;
  return do_read(req, ino, size, off, get_open_file(fi));
}

int do_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, OpenFile* file) {
  fuse_bufvec buffers = FUSE_BUFVEC_INIT(size);
  buffers.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buffers.buf[0].fd = file->fd.get();
  buffers.buf[0].pos = off;
  debug_line(4, DebugStyle::tagged,
             [&] { return boost::format("do_read(ino=%d, size=%d, off=%d)") % ino % size % off; });
  if (state.cache && size > 0) {
    fill_cache(req, get_inode(ino), size, off, *file);
    if (!req) {
      debug_line(4, DebugStyle::tagged,
                 "do_read(): populated cache with readahead data, returning.");
      return 0;
    }
  }
  if (!req) return 0;
  delay_source_read(size);
  std::lock_guard lock(file->mutex);
  reply_data(req, &buffers, transfer_flags());
  if (!advise_dontneed(buffers)) log_warning("do_read(): advise_dontneed failed.");
  return 0;
}

}  // namespace quarnix
