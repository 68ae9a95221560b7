#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "daemon/cache_refresh.hpp"
#include "daemon/materialization_completion.hpp"
#include "daemon/materialization_parking.hpp"
#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/proc_path.hpp"
#include "daemon/reply.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

// The setattr line: the change word of what the request sets, and with a new
// size "SIZE" and that size as a field of its own.
void log_setattr(const InodeRecord& record, const struct stat* attr, int to_set) {
  std::string word;
  if (to_set & FUSE_SET_ATTR_MODE) word += "MODE,";
  if (to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) word += "UID,";
  if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) word += "TIME,";
  if (to_set & FUSE_SET_ATTR_SIZE)
    state.oplog.write("setattr", record.log_id, word + "SIZE", static_cast<int64_t>(attr->st_size));
  else
    state.oplog.write("setattr", record.log_id, word);
}

int inode_utimensat(InodeRecord* record, const timespec times[2]) {
  if (record->is_symlink) {
    const int result =
        ::utimensat(record->fd.get(), "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW);
    if (result == -1 && errno == EINVAL) errno = EPERM;
    return result;
  }
  return ::utimensat(AT_FDCWD, ProcPath(record->fd.get()).c_str(), times, 0);
}

int truncate_source(InodeRecord& record, off_t size, OpenFile* file, SourceChange& change) {
  if (!state.cache) {
    if (file) return ::ftruncate(file->fd.get(), size);
    return ::truncate(ProcPath(record.fd.get()).c_str(), size);
  }
  // The cache follows the size once the source has it, so that no read in
  // between can bring the old bytes back into a chunk.
  UniqueFd opened;
  if (!file) {
    opened.reset(::open(ProcPath(record.fd.get()).c_str(), O_RDWR | O_CLOEXEC));
    if (!opened) return -1;
  }
  const int fd = file ? file->fd.get() : opened.get();
  struct stat before {};
  if (::fstat(fd, &before) != 0) {
    warn("ERROR: setattr(): fstat failed");
    return -1;
  }
  if (::ftruncate(fd, size) != 0) return -1;
  change.followed();
  adjust_after_resize(record, file ? file->cache_fd() : fd, before.st_size, size);
  return 0;
}

// With a materialization record the inode's mutex is held: the blocks the
// change ends are settled with it.
int set_size(InodeRecord& record, off_t size, OpenFile* file, SourceChange& change) {
  const int result = truncate_source(record, size, file, change);
  if (result == 0 && record.mat_record) size_changed(record, static_cast<uint64_t>(size));
  return result;
}

int set_times(InodeRecord& record, const struct stat* attr, int to_set, OpenFile* file) {
  timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
  if (to_set & FUSE_SET_ATTR_ATIME_NOW)
    times[0] = {0, UTIME_NOW};
  else if (to_set & FUSE_SET_ATTR_ATIME)
    times[0] = attr->st_atim;
  if (to_set & FUSE_SET_ATTR_MTIME_NOW)
    times[1] = {0, UTIME_NOW};
  else if (to_set & FUSE_SET_ATTR_MTIME)
    times[1] = attr->st_mtim;
  if (file) return ::futimens(file->fd.get(), times);
  return inode_utimensat(&record, times);
}

}  // namespace

void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info*) {
  InodeRecord& record = get_inode(ino);
  state.oplog.write_if_all("getattr", record.log_id);
  struct stat attr {};
  if (::fstatat(record.fd.get(), "", &attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
    reply_err(req, errno);
    return;
  }
  reply_attr(req, &attr, state.timeout);
}

void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi) {
  InodeRecord& record = get_inode(ino);
  if (state.oplog.logs_all()) log_setattr(record, attr, to_set);
  if (record.mat_record && (to_set & FUSE_SET_ATTR_SIZE)) {
    change_size_when_present(req, record, ino, attr, to_set, fi);
    return;
  }
  do_setattr(req, ino, attr, to_set, get_open_file(fi));
}

void do_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, OpenFile* file) {
  InodeRecord& record = get_inode(ino);
  // Every step changes the file's change time, which the cache compares.
  SourceChange change(record, file ? file->fd.get() : record.fd.get());
  const auto fail = [&](int error) {
    change.followed();
    reply_err(req, error);
  };
  if (to_set & FUSE_SET_ATTR_MODE) {
    const int result = file ? ::fchmod(file->fd.get(), attr->st_mode)
                            : ::chmod(ProcPath(record.fd.get()).c_str(), attr->st_mode);
    if (result == -1) return fail(errno);
  }
  if (to_set & (FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID)) {
    const uid_t uid = (to_set & FUSE_SET_ATTR_UID) ? attr->st_uid : static_cast<uid_t>(-1);
    const gid_t gid = (to_set & FUSE_SET_ATTR_GID) ? attr->st_gid : static_cast<gid_t>(-1);
    if (::fchownat(record.fd.get(), "", uid, gid, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == -1)
      return fail(errno);
  }
  if (to_set & FUSE_SET_ATTR_SIZE) {
    if (set_size(record, attr->st_size, file, change) == -1) return fail(errno);
  }
  if (to_set & (FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_MTIME)) {
    if (set_times(record, attr, to_set, file) == -1) return fail(errno);
  }
  change.followed();
  getattr(req, ino, nullptr);
}

}  // namespace quarnix
