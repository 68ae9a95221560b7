#include "daemon/source_write.hpp"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "daemon/open_file.hpp"
#include "daemon/page_cache.hpp"

namespace quarnix {

namespace {

// Direct I/O wants its memory aligned to the device's block size; a page is enough.
constexpr size_t direct_io_alignment = 4096;

struct FreeMemory {
  void operator()(char* memory) const { ::free(memory); }
};

// Copies `in` to the file through libfuse, spliced unless --nosplice, until
// all of it landed; 0 or an errno, with `written` telling how much landed.
// Splicing is forced: when a pipe cannot be spliced into the file, libfuse's
// own fallback reads the pipe in pieces, and the unwritten part of a piece
// would be gone for the next attempt.
int copy_buffers(int fd, fuse_bufvec* in, off_t off, size_t size, size_t& written) {
  written = 0;
  fuse_bufvec destination = FUSE_BUFVEC_INIT(size);
  destination.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  destination.buf[0].fd = fd;
  destination.buf[0].pos = off;
  fuse_buf_copy_flags flags = transfer_flags();
  if (!state.nosplice) flags = static_cast<fuse_buf_copy_flags>(flags | FUSE_BUF_FORCE_SPLICE);
  while (written < size) {
    const ssize_t result = fuse_buf_copy(&destination, in, flags);
    if (result < 0) return static_cast<int>(-result);
    if (result == 0) return EIO;
    written += static_cast<size_t>(result);
  }
  return 0;
}

// Writes `data` with pwrite until all of it landed; 0 or an errno.
int write_memory(const OpenFile& file, const char* data, size_t size, off_t off) {
  int fd = file.fd.get();
  size_t done = 0;
  while (done < size) {
    const ssize_t result = ::pwrite(fd, data + done, size - done, off + static_cast<off_t>(done));
    if (result > 0) {
      done += static_cast<size_t>(result);
    } else if (result < 0 && errno == EINTR) {
      continue;
    } else if (result < 0 && errno == EINVAL && fd == file.fd.get() && file.buffered) {
      // The source refuses this write with O_DIRECT: it takes it buffered.
      fd = file.buffered.get();
    } else {
      return result < 0 ? errno : EIO;
    }
  }
  return 0;
}

// The rest of `in`, read into aligned memory and written from there.
int write_through_memory(const OpenFile& file, fuse_bufvec* in, off_t off, size_t size) {
  void* allocated = nullptr;
  if (::posix_memalign(&allocated, direct_io_alignment, size) != 0) return ENOMEM;
  const std::unique_ptr<char, FreeMemory> memory(static_cast<char*>(allocated));
  fuse_bufvec buffer = FUSE_BUFVEC_INIT(size);
  buffer.buf[0].mem = memory.get();
  const ssize_t copied = fuse_buf_copy(&buffer, in, FUSE_BUF_NO_SPLICE);
  if (copied < 0) return static_cast<int>(-copied);
  if (static_cast<size_t>(copied) != size) return EIO;
  return write_memory(file, memory.get(), size, off);
}

}  // namespace

ssize_t write_to_source(const OpenFile& file, fuse_bufvec* in, off_t off, size_t size) {
  size_t written;
  int error = copy_buffers(file.fd.get(), in, off, size, written);
  // Unaligned memory or a pipe the file cannot take by splice (O_DIRECT).
  if (error == EINVAL)
    error = write_through_memory(file, in, off + static_cast<off_t>(written), size - written);
  return error != 0 ? -static_cast<ssize_t>(error) : static_cast<ssize_t>(size);
}

}  // namespace quarnix
