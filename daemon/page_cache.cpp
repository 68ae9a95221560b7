#include "daemon/page_cache.hpp"

#include <fcntl.h>
#include <sys/mman.h>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

bool advise_dontneed(const fuse_bufvec& buffers) {
  bool all_advised = true;
  for (size_t i = 0; i < buffers.count; ++i) {
    const fuse_buf& buffer = buffers.buf[i];
    if (!(buffer.flags & FUSE_BUF_IS_FD)) {
      const int result = ::posix_madvise(buffer.mem, buffer.size, POSIX_MADV_DONTNEED);
      if (result != 0) {
        log_warning(boost::format("posix_madvise() on fuse_buf failed with: %s") %
                    errno_string(result));
        all_advised = false;
      }
    } else if (!(buffer.flags & FUSE_BUF_FD_SEEK)) {
      log_warning("Unable to posix_fadvise on fd-backed fuse_buf without offset information");
    } else {
      const int result = ::posix_fadvise(buffer.fd, buffer.pos, static_cast<off_t>(buffer.size),
                                         POSIX_FADV_DONTNEED);
      if (result != 0) {
        log_warning(boost::format("posix_fadvise(fd=%d, pos=%d, size=%d) failed with: %s") %
                    buffer.fd % buffer.pos % buffer.size % errno_string(result));
        all_advised = false;
      }
    }
  }
  return all_advised;
}

}  // namespace quarnix
