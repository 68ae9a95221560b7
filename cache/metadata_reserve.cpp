#include "cache/metadata_reserve.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "support/errors.hpp"
#include "support/exclusive_files.hpp"

namespace quarnix {

MetadataReserve::MetadataReserve(const std::string& target, uint64_t size)
    : target(target), path(target + ".reserve") {
  const std::string failure = "Failed to reserve room for cache metadata in " + path;
  // Whatever holds the name was left by a run that ended without its save;
  // the cache file's lock keeps other daemons away from it.
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw RuntimeError(failure, errno);
  // Only the daemon may read or change what it will trust at the next start.
  descriptor = create_exclusively(path, 0600);
  if (!descriptor) throw RuntimeError(failure, errno);
  present = true;
  if (const int error = ::posix_fallocate(descriptor.get(), 0, static_cast<off_t>(size));
      error != 0)
    fail(failure, error);
}

MetadataReserve::~MetadataReserve() {
  remove();
}

void MetadataReserve::commit(std::string_view contents, const std::string& failure_message) {
  if (!present) throw RuntimeError(failure_message, ENOENT);
  off_t offset = 0;
  while (offset < static_cast<off_t>(contents.size())) {
    const ssize_t written = ::pwrite(descriptor.get(), contents.data() + offset,
                                     contents.size() - static_cast<std::size_t>(offset), offset);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) fail(failure_message, errno);
    if (written == 0) fail(failure_message, ENOSPC);
    offset += written;
  }
  // Shrinking only gives blocks back; the reader takes the file's end for the
  // archive's.
  if (::ftruncate(descriptor.get(), offset) != 0) fail(failure_message, errno);
  if (::fsync(descriptor.get()) != 0) fail(failure_message, errno);
  // Some filesystems report a failed write only here.
  if (const int error = descriptor.close(); error != 0) fail(failure_message, error);
  if (::rename(path.c_str(), target.c_str()) != 0) fail(failure_message, errno);
  present = false;
}

void MetadataReserve::fail(const std::string& failure_message, int error_number) {
  remove();
  throw RuntimeError(failure_message, error_number);
}

void MetadataReserve::remove() noexcept {
  if (!present) return;
  descriptor.reset();
  ::unlink(path.c_str());
  present = false;
}

}  // namespace quarnix
