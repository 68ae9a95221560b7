#include <fcntl.h>
#include <sys/file.h>

#include "daemon/cache_refresh.hpp"
#include "daemon/materialization_parking.hpp"
#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/page_cache.hpp"
#include "daemon/reply.hpp"
#include "daemon/source_write.hpp"
#include "support/logging.hpp"

namespace quarnix {

void write_buf(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* in, off_t off, fuse_file_info* fi) {
  const size_t size = fuse_buf_size(in);
  InodeRecord& inode = get_inode(ino);
  if (state.oplog.logs_all())
    state.oplog.write("write", inode.log_id, static_cast<int64_t>(off),
                      static_cast<uint64_t>(size));
  if (inode.mat_record && park_write_buf(req, inode, ino, in, size, off, fi)) return;
  do_write_buf(req, ino, size, off, in, get_open_file(fi));
}

void do_write_buf(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_bufvec* in,
                  OpenFile* file) {
  fuse_bufvec destination = FUSE_BUFVEC_INIT(size);
  destination.buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
  destination.buf[0].fd = file->fd.get();
  destination.buf[0].pos = off;
  const InodeRecord& inode = get_inode(ino);
  SourceChange change(inode, file->fd.get());
  const ssize_t result = write_to_source(*file, in, off, size);
  change.followed();
  // Whether or not the write succeeded, the cache takes the source's bytes again.
  refresh_after_change(inode, file->cache_fd(), static_cast<uint64_t>(off), size,
                       change.old_size());

  std::lock_guard lock(file->mutex);
  if (result < 0)
    reply_err(req, static_cast<int>(-result));
  else
    reply_write(req, static_cast<size_t>(result));
  if (!advise_dontneed(destination)) log_warning("do_write_buf(): advise_dontneed failed.");
}

void fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
               fuse_file_info* fi) {
  if (state.oplog.logs_all())
    state.oplog.write("fallocate", get_inode(ino).log_id, static_cast<int64_t>(offset),
                      static_cast<int64_t>(length));
  if (mode != 0) {
    reply_err(req, EOPNOTSUPP);
    return;
  }
  const OpenFile& file = *get_open_file(fi);
  const InodeRecord& inode = get_inode(ino);
  SourceChange change(inode, file.fd.get());
  const int result = ::posix_fallocate(file.fd.get(), offset, length);
  change.followed();
  const off_t old_size = change.old_size();
  if (result == 0 && old_size >= 0 && offset + length > old_size)
    adjust_after_resize(inode, file.cache_fd(), old_size, offset + length);
  reply_err(req, result);
}

void flock(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, int op) {
  if (state.oplog.logs_all()) state.oplog.write("flock", get_inode(ino).log_id, op);
  reply_err(req, ::flock(get_open_file(fi)->fd.get(), op) == -1 ? errno : 0);
}

}  // namespace quarnix
