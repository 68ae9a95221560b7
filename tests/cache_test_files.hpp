// Files for the cache tests: source files of known bytes and pre-sized cache
// files, and the helpers that compare a cached slot with the source.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "cache/cache.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {

// Byte `i` of every test source file: no period shorter than a chunk.
inline char source_byte(uint64_t i) {
  return static_cast<char>((i * 131 + i / 4099) & 0xff);
}

inline std::string source_bytes(uint64_t offset, uint64_t length) {
  std::string bytes(length, '\0');
  for (uint64_t i = 0; i < length; ++i)
    bytes[i] = source_byte(offset + i);
  return bytes;
}

inline void write_at(int fd, const std::string& bytes, uint64_t offset) {
  if (::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
      static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("pwrite failed");
}

inline std::string read_at(int fd, uint64_t offset, uint64_t length) {
  std::string bytes(length, '\0');
  const ssize_t got = ::pread(fd, bytes.data(), length, static_cast<off_t>(offset));
  if (got < 0) throw std::runtime_error("pread failed");
  bytes.resize(static_cast<std::size_t>(got));
  return bytes;
}

// A source file of `size` bytes of source_byte, open read-write.
class SourceFile {
 public:
  SourceFile(const std::filesystem::path& path, uint64_t size) : path(path) {
    fd = UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd) throw std::runtime_error("cannot create " + path.string());
    write_at(fd.get(), source_bytes(0, size), 0);
    struct stat source {};
    ::fstat(fd.get(), &source);
    ino = source.st_ino;
  }

  struct stat info() const {
    struct stat source {};
    ::fstat(fd.get(), &source);
    return source;
  }
  timespec mtime() const { return info().st_mtim; }
  // Sets the modification time exactly, as a change behind the daemon's back would.
  void set_mtime(time_t seconds, long nanoseconds) const {
    const timespec times[2] = {{0, UTIME_OMIT}, {seconds, nanoseconds}};
    if (::futimens(fd.get(), times) != 0) throw std::runtime_error("futimens failed");
  }

  std::filesystem::path path;
  UniqueFd fd;
  uint64_t ino = 0;
};

// A sparse cache file of `size` bytes.
inline void make_cache_file(const std::filesystem::path& path, uint64_t size) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd || ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0)
    throw std::runtime_error("cannot create " + path.string());
}

// The valid bytes of a cached chunk as the cache file holds them.
inline std::string slot_bytes(const Cache& cache, const LRUElement& element) {
  return read_at(cache.fd.get(), element.cfile_off, element.size);
}

// The bytes the chunk must hold when the source is a SourceFile of `file_size` bytes.
inline std::string expected_chunk(const Cache& cache, uint64_t chunkno, uint64_t file_size) {
  const uint64_t start = chunkno * cache.chunk_size;
  if (start >= file_size) return {};
  return source_bytes(start, std::min(cache.chunk_size, file_size - start));
}

}  // namespace quarnix::testing
