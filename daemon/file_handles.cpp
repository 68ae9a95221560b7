#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <optional>

#include "daemon/materialization_completion.hpp"
#include "daemon/materialization_parking.hpp"
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

// The kernel keeps an inode for a day, and with it the validation of its
// chunks at lookup: a file rewritten beside the mount would be served from
// its old chunks for as long. Every open validates them against the file now
// open as `fd`.
void validate_cache_at_open(const InodeRecord& inode, int fd) {
  if (!state.cache) return;
  struct stat info {};
  if (::fstat(fd, &info) != 0) warn("ERROR: open(): fstat failed");
  state.cache->validate(inode.ino, info);
}

// A descriptor opened with O_DIRECT gets a buffered companion with the same
// access: cache chunks are copied through it, and writes that the source
// refuses to take directly go through it.
void open_buffered_companion(const InodeRecord& inode, OpenFile& file, int flags) {
  if (flags & O_DIRECT)
    file.buffered.reset(::open(ProcPath(inode.fd.get()).c_str(), (flags & O_ACCMODE) | O_CLOEXEC));
}

void set_kernel_caching(fuse_file_info* fi) {
  if (state.oplog.log_all) {
    fi->keep_cache = 0;
    fi->direct_io = 1;
  } else {
    fi->keep_cache = state.vfs_cache;
  }
}

void log_create(uint64_t log_id, mode_t mode) {
  if (state.oplog.logs_all()) state.oplog.write("create", log_id, static_cast<uint32_t>(mode));
}

int source_flags(const fuse_file_info* fi) {
  return (fi->flags & ~(O_NOFOLLOW | O_CREAT | O_EXCL)) | O_CLOEXEC;
}

UniqueFd open_source(const InodeRecord& inode, int flags) {
  UniqueFd fd(::open(ProcPath(inode.fd.get()).c_str(), flags));
  if (!fd) report_if_out_of_descriptors(errno);
  return fd;
}

// Opens the source file of `inode` with `flags`, with its buffered companion
// and, for an open (no `entry` of a create), the kernel's caching: 0, or the
// errno, answered when there is a request.
int open_source_file(fuse_req_t req, const InodeRecord& inode, fuse_file_info* fi, int flags,
                     const fuse_entry_param* entry, std::unique_ptr<OpenFile>& file) {
  UniqueFd fd = open_source(inode, flags);
  if (!fd) {
    const int error = errno;
    if (req) reply_err(req, error);
    return error;
  }
  if (!entry) set_kernel_caching(fi);
  validate_cache_at_open(inode, fd.get());
  file = std::make_unique<OpenFile>(std::move(fd));
  open_buffered_companion(inode, *file, fi->flags);
  return 0;
}

// Hands the file to the kernel and replies: with the entry of a create, else
// as open does.
void hand_out_and_reply(fuse_req_t req, const InodeRecord& inode, fuse_file_info* fi,
                        std::unique_ptr<OpenFile> file, const fuse_entry_param* entry,
                        mode_t mode) {
  fi->fh = open_files().hand_out(std::move(file));
  if (!entry) {
    if (req) reply_open(req, fi);
    return;
  }
  // Once the reply is out the kernel may forget the inode at any time.
  const uint64_t log_id = inode.log_id;
  reply_create(req, entry, fi);
  log_create(log_id, mode);
}

// An open that truncates a placeholder: the file is opened without O_TRUNC
// and truncated once the size change to 0 may go on, as a setattr's would.
int open_truncating(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, fuse_file_info* fi,
                    const fuse_entry_param* entry, mode_t mode) {
  std::unique_ptr<OpenFile> file;
  if (const int error = open_source_file(req, inode, fi, source_flags(fi) & ~O_TRUNC, entry, file))
    return error;
  std::optional<fuse_entry_param> created;
  if (entry) created = *entry;
  truncate_when_present(inode, pending_open{req, ino, *fi, std::move(file->fd),
                                            std::move(file->buffered), created, mode});
  return 0;
}

// Opens the source file of `inode` as `fi` asks and replies: with the entry of
// a create that found the file there, else as open does.
int open_inode(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, fuse_file_info* fi,
               const fuse_entry_param* entry, mode_t mode) {
  if (req && inode.mat_record && (fi->flags & O_TRUNC))
    return open_truncating(req, inode, ino, fi, entry, mode);
  std::unique_ptr<OpenFile> file;
  if (const int error = open_source_file(req, inode, fi, source_flags(fi), entry, file))
    return error;
  prepare_for_cache(inode, fi->flags);
  hand_out_and_reply(req, inode, fi, std::move(file), entry, mode);
  return 0;
}

enum class Existing { absent, other, opened };

// With on-demand materialization a create first looks whether the name is
// there: a file it finds is opened as open opens it, since it may be a
// placeholder, while a file it makes is never one.
Existing open_existing(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                       fuse_file_info* fi) {
  fuse_entry_param entry{};
  const int error = do_lookup(parent, name, &entry);
  if (error == ENOENT) return Existing::absent;
  // What is not a regular file the create itself reports on.
  if (error != 0) return Existing::other;
  if (!S_ISREG(entry.attr.st_mode)) {
    do_forget(entry.ino, 1);
    return Existing::other;
  }
  if (open_inode(req, get_inode(entry.ino), entry.ino, fi, &entry, mode) != 0)
    do_forget(entry.ino, 1);
  return Existing::opened;
}

}  // namespace

int open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("open", inode.log_id);
  adjust_open_flags(fi);
  return open_inode(req, inode, ino, fi, nullptr, 0);
}

void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi) {
  InodeRecord& directory = get_inode(parent);
  adjust_open_flags(fi);
  const int flags = (fi->flags & ~O_NOFOLLOW) | O_CREAT | O_CLOEXEC;
  bool made_here = (flags & O_EXCL) != 0;
  if (state.ondemand && !made_here) {
    const Existing existing = open_existing(req, parent, name, mode, fi);
    if (existing == Existing::opened) return;
    made_here = existing == Existing::absent;
  }
  UniqueFd fd(::openat(directory.fd.get(), name, made_here ? flags | O_EXCL : flags, mode));
  if (!fd && errno == EEXIST && !(flags & O_EXCL)) {
    // Made beside the mount in the meantime.
    fd.reset(::openat(directory.fd.get(), name, flags, mode));
    made_here = false;
  }
  if (!fd) {
    const int error = errno;
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  auto file = std::make_unique<OpenFile>(std::move(fd));
  fuse_entry_param entry{};
  const int error =
      made_here ? do_lookup_created(parent, name, &entry) : do_lookup(parent, name, &entry);
  if (error != 0) {
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  InodeRecord& inode = get_inode(entry.ino);
  if (!made_here) validate_cache_at_open(inode, file->fd.get());
  prepare_for_cache(inode, fi->flags);
  open_buffered_companion(inode, *file, fi->flags);
  hand_out_and_reply(req, inode, fi, std::move(file), &entry, mode);
}

void complete_truncating_open(pending_open& open) {
  InodeRecord& inode = get_inode(open.ino);
  const int fd = open.fd.get();
  const bool writable = (open.fi.flags & O_ACCMODE) != O_RDONLY;
  if ((writable ? ::ftruncate(fd, 0) : ::truncate(ProcPath(fd).c_str(), 0)) != 0) {
    fail_parked_open(open, errno);
    return;
  }
  prepare_for_cache(inode, O_TRUNC);
  size_changed(inode, 0);
  // The kernel takes the size from the entry.
  if (open.entry)
    ::fstatat(inode.fd.get(), "", &open.entry->attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
  auto file = std::make_unique<OpenFile>(std::move(open.fd));
  file->buffered = std::move(open.buffered);
  hand_out_and_reply(open.req, inode, &open.fi, std::move(file),
                     open.entry ? &*open.entry : nullptr, open.mode);
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
