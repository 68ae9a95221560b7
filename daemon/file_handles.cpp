#include <fcntl.h>
#include <unistd.h>

#include <memory>

#include "daemon/open_files.hpp"
#include "daemon/operations.hpp"
#include "daemon/proc_path.hpp"
#include "daemon/reply.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

void adjust_open_flags(fuse_file_info* fi) {
  // The daemon reads whole cache chunks from the descriptor, so a write-only
  // open is widened; appends arrive with their offsets from the kernel.
  if ((fi->flags & O_ACCMODE) == O_WRONLY) fi->flags = (fi->flags & ~O_ACCMODE) | O_RDWR;
  if ((fi->flags & O_DIRECT) && state.swallow_odirect) {
    debug_line(4, DebugStyle::plain, "DEBUG: Swallowing O_DIRECT flag");
    fi->flags &= ~O_DIRECT;
  }
  fi->flags &= ~O_APPEND;
}

// With the cache active, an open that truncated the file leaves none of its
// old chunks behind.
void prepare_for_cache(const InodeRecord& inode, int flags) {
  if (state.cache && (flags & O_TRUNC)) state.cache->drop_from(inode.ino, 0);
}

// A descriptor opened with O_DIRECT gets a buffered companion with the same
// access: cache chunks are copied through it, and writes that the source
// refuses to take directly go through it.
void open_buffered_companion(const InodeRecord& inode, OpenFile& file, int flags) {
  if (flags & O_DIRECT)
    file.buffered.reset(::open(ProcPath(inode.fd.get()).c_str(), (flags & O_ACCMODE) | O_CLOEXEC));
}

}  // namespace

int open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("open", inode.log_id);
  adjust_open_flags(fi);
  UniqueFd fd(::open(ProcPath(inode.fd.get()).c_str(), (fi->flags & ~O_NOFOLLOW) | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    report_if_out_of_descriptors(error);
    if (req) reply_err(req, error);
    return error;
  }
  if (state.oplog.log_all) {
    fi->keep_cache = 0;
    fi->direct_io = 1;
  } else {
    fi->keep_cache = state.vfs_cache;
  }
  auto file = std::make_unique<OpenFile>(std::move(fd));
  prepare_for_cache(inode, fi->flags);
  open_buffered_companion(inode, *file, fi->flags);
  fi->fh = open_files().hand_out(std::move(file));
  if (req) reply_open(req, fi);
  return 0;
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
  InodeRecord& directory = get_inode(parent);
  adjust_open_flags(fi);
  UniqueFd fd(
      ::openat(directory.fd.get(), name, (fi->flags & ~O_NOFOLLOW) | O_CREAT | O_CLOEXEC, mode));
  if (!fd) {
    const int error = errno;
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  auto file = std::make_unique<OpenFile>(std::move(fd));
  fuse_entry_param entry{};
  const int error = do_lookup(parent, name, &entry);
  if (error != 0) {
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  prepare_for_cache(get_inode(entry.ino), fi->flags);
  open_buffered_companion(get_inode(entry.ino), *file, fi->flags);
  fi->fh = open_files().hand_out(std::move(file));
  reply_create(req, &entry, fi);
  if (state.oplog.logs_all())
    state.oplog.write("create", get_inode(entry.ino).log_id, static_cast<uint32_t>(mode));
}

int release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  std::unique_ptr<OpenFile> file = open_files().take_back(fi->fh);
  if (!file) throw RuntimeError("release(): unknown file handle " + std::to_string(fi->fh));
  fi->fh = 0;
  if (state.oplog.logs_all()) state.oplog.write("release", get_inode(ino).log_id);
  // Waits for a reply still being sent on this file.
  { std::lock_guard wait(file->mutex); }
  const int result = file->close();
  if (result != 0)
    log_warning(boost::format("release(): close() failed with: %s") % errno_string(result));
  file.reset();
  if (req) reply_err(req, result);
  return result;
}

void flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  if (state.oplog.logs_all()) state.oplog.write("flush", get_inode(ino).log_id);
  const int result = ::close(::dup(get_open_file(fi)->fd.get()));
  reply_err(req, result == -1 ? errno : 0);
}

void fsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
  if (state.oplog.logs_all()) state.oplog.write("fsync", get_inode(ino).log_id, datasync);
  const int fd = get_open_file(fi)->fd.get();
  const int result = datasync ? ::fdatasync(fd) : ::fsync(fd);
  reply_err(req, result == -1 ? errno : 0);
}

}  // namespace quarnix
