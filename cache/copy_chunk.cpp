#include "cache/copy_chunk.hpp"

#include <fcntl.h>

#include <errno.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "support/errors.hpp"

namespace quarnix {

namespace {

constexpr uint64_t copy_buffer_size = 65536;

// copy_file_range refuses these when the two files are on different
// filesystems or the filesystem cannot copy in the kernel; a plain copy works.
bool needs_plain_copy(int error_number) {
  return error_number == EXDEV || error_number == EINVAL || error_number == ENOSYS ||
         error_number == EOPNOTSUPP;
}

bool no_room(int error_number) {
  return error_number == ENOSPC || error_number == EDQUOT || error_number == EFBIG;
}

[[noreturn]] void throw_copy_failure(const char* call, int error_number) {
  if (no_room(error_number)) throw CacheFullError(call, error_number);
  throw RuntimeError(call, error_number);
}

// Writes all of `bytes` or as much as the descriptor takes; returns the count.
uint64_t write_fully(int out_fd, const char* bytes, uint64_t length, off_t offset) {
  uint64_t written = 0;
  while (written < length) {
    const ssize_t result =
        ::pwrite(out_fd, bytes + written, length - written, offset + static_cast<off_t>(written));
    if (result < 0) {
      if (errno == EINTR) continue;
      throw_copy_failure("pwrite()", errno);
    }
    if (result == 0) break;
    written += static_cast<uint64_t>(result);
  }
  return written;
}

uint64_t plain_copy(int in_fd, off_t in_offset, int out_fd, off_t out_offset, uint64_t length) {
  std::vector<char> buffer(std::min(length, copy_buffer_size));
  uint64_t copied = 0;
  while (copied < length) {
    const ssize_t got = ::pread(in_fd, buffer.data(), std::min(length - copied, buffer.size()),
                                in_offset + static_cast<off_t>(copied));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw RuntimeError("pread()", errno);
    }
    if (got == 0) break;  // the source shrank after the size test
    const uint64_t written = write_fully(out_fd, buffer.data(), static_cast<uint64_t>(got),
                                         out_offset + static_cast<off_t>(copied));
    copied += written;
    if (written < static_cast<uint64_t>(got)) break;
  }
  return copied;
}

}  // namespace

uint64_t copy_chunk(int in_fd, uint64_t in_offset, int out_fd, uint64_t out_offset, uint64_t length,
                    struct stat* source_stat) {
  struct stat source {};
  if (::fstat(in_fd, &source) != 0) throw RuntimeError("fstat()", errno);
  if (source_stat) *source_stat = source;
  if (static_cast<off_t>(in_offset) > source.st_size) return 0;
  if (static_cast<off_t>(in_offset + length) > source.st_size)
    length = static_cast<uint64_t>(source.st_size) - in_offset;
  if (length == 0) return 0;
  // One chunk is wanted, whole and at once: a source that would otherwise
  // guess its read-ahead (a network or FUSE filesystem) fetches it in one go.
  ::posix_fadvise(in_fd, static_cast<off_t>(in_offset), static_cast<off_t>(length),
                  POSIX_FADV_WILLNEED);

  off_t in_position = static_cast<off_t>(in_offset);
  off_t out_position = static_cast<off_t>(out_offset);
  uint64_t copied = 0;
  while (copied < length) {
    const ssize_t result =
        ::copy_file_range(in_fd, &in_position, out_fd, &out_position, length - copied, 0);
    if (result < 0) {
      if (errno == EINTR) continue;
      if (needs_plain_copy(errno))
        return copied + plain_copy(in_fd, in_position, out_fd, out_position, length - copied);
      throw_copy_failure("copy_file_range()", errno);
    }
    if (result == 0) break;  // the source shrank after the size test
    copied += static_cast<uint64_t>(result);
  }
  return copied;
}

}  // namespace quarnix
