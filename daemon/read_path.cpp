#include <time.h>

#include <cerrno>

#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/page_cache.hpp"
#include "daemon/read_scoring.hpp"
#include "daemon/reply.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

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
  if (log_enabled(4)) {
    if (internal) {
      log_debug(2,
                boost::format("read(ino=%d, size=%d, off=%d) from readahead") % ino % size % off);
    } else {
      const fuse_ctx* context = fuse_req_ctx(req);
      log_debug(2, boost::format("read(ino=%d, size=%d, off=%d) from uid=%d, tid=%d") % ino % size %
                       off % context->uid % context->pid);
    }
  }
  if (internal) log_debug(2, "read(): is internal readahead, skipping state update.");
  if (state.oplog.enabled && !internal)
    state.oplog.write("read", inode.log_id, static_cast<int64_t>(off), static_cast<uint64_t>(size));
  if (state.readahead && !internal) score_read(inode, ino, static_cast<uint64_t>(off), size);
  return do_read(req, ino, size, off, get_open_file(fi));
}

int do_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, OpenFile* file) {
  fuse_bufvec buffers = FUSE_BUFVEC_INIT(size);
  buffers.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  buffers.buf[0].fd = file->fd;
  buffers.buf[0].pos = off;
  if (log_enabled(4))
    log_debug(2, boost::format("do_read(ino=%d, size=%d, off=%d)") % ino % size % off);
  if (req == nullptr) return 0;
  delay_source_read(size);
  std::lock_guard lock(file->mutex);
  reply_data(req, &buffers, transfer_flags());
  if (!advise_dontneed(buffers)) log_warning("do_read(): advise_dontneed failed.");
  return 0;
}

}  // namespace quarnix
