#include "daemon/cache_refresh.hpp"

#include <err.h>
#include <sys/stat.h>

#include "support/logging.hpp"

namespace quarnix {

namespace {

// Copies one cached chunk again; false when it turned out to be the file's last.
bool refresh_chunk(const InodeRecord& inode, int fd, uint64_t chunk) {
  Cache& cache = *state.cache;
  const locked_element_ptr element = cache.update(inode.ino, chunk, fd);
  if (!element) return true;
  cache.advise(*element);
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: Wrote chunk " + std::to_string(chunk) + " of inode " +
           std::to_string(inode.ino) + " to cache at position " +
           std::to_string(element->cfile_off);
  });
  if (element->size < cache.chunk_size) {
    debug_line(4, DebugStyle::plain, "DEBUG: Reached EOF, not updating more chunks");
    return false;
  }
  return true;
}

}  // namespace

SourceChange::SourceChange(const InodeRecord& inode, int fd) : SourceChange(fd) {
  ino = inode.ino;
}

SourceChange::SourceChange(int fd) : fd(fd) {
  if (!state.cache || fd < 0) return;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return;
  ino = info.st_ino;
  size_before = info.st_size;
  identity = FileIdentity::of(info);
}

void SourceChange::followed() {
  struct stat info {};
  if (!identity || ::fstat(fd, &info) != 0) return;
  const FileIdentity now = FileIdentity::of(info);
  state.cache->follow_change(ino, *identity, now);
  identity = now;
}

void refresh_after_change(const InodeRecord& inode, int fd, uint64_t off, uint64_t size,
                          off_t old_size) {
  if (!state.cache || size == 0) return;
  if (old_size >= 0 && off + size > static_cast<uint64_t>(old_size))
    adjust_after_resize(inode, fd, old_size, static_cast<off_t>(off + size));
  const uint64_t chunk_size = state.cache->chunk_size;
  const uint64_t first = off / chunk_size;
  const uint64_t last = (off + size - 1) / chunk_size;
  for (uint64_t k = first; k <= last; ++k)
    if (!refresh_chunk(inode, fd, k)) break;
}

void adjust_after_resize(const InodeRecord& inode, int fd, off_t old_size, off_t new_size) {
  if (!state.cache || old_size < 0) return;
  const uint64_t chunk_size = state.cache->chunk_size;
  if (new_size < old_size)
    state.cache->drop_from(inode.ino, static_cast<uint64_t>(new_size) / chunk_size);
  else if (new_size > old_size) {
    // The chunk that held the old end becomes whole; any chunk cached beyond
    // it held nothing (or a shorter end) and must not pass for the end now.
    const uint64_t old_last = static_cast<uint64_t>(old_size) / chunk_size;
    state.cache->drop_from(inode.ino, old_last + 1);
    refresh_chunk(inode, fd, old_last);
  }
}

}  // namespace quarnix
