#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstring>

#include "daemon/cache_refresh.hpp"
#include "daemon/materialization_placeholders.hpp"
#include "daemon/operations.hpp"
#include "daemon/proc_path.hpp"
#include "daemon/reply.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

void make_node(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev,
               const char* link_text) {
  InodeRecord& directory = get_inode(parent);
  int result;
  if (S_ISDIR(mode))
    result = ::mkdirat(directory.fd.get(), name, mode);
  else if (S_ISLNK(mode))
    result = ::symlinkat(link_text, directory.fd.get(), name);
  else
    result = ::mknodat(directory.fd.get(), name, mode, rdev);
  int error = result == -1 ? errno : 0;
  fuse_entry_param entry{};
  if (error == 0) error = do_lookup_created(parent, name, &entry);
  if (error != 0) {
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  reply_entry(req, &entry);
}

int inode_linkat(InodeRecord* record, int new_parent_fd, const char* new_name) {
  if (record->is_symlink) {
    const int result = ::linkat(record->fd.get(), "", new_parent_fd, new_name, AT_EMPTY_PATH);
    if (result == -1 && (errno == ENOENT || errno == EINVAL)) errno = EOPNOTSUPP;
    return result;
  }
  return ::linkat(AT_FDCWD, ProcPath(record->fd.get()).c_str(), new_parent_fd, new_name,
                  AT_SYMLINK_FOLLOW);
}

// The file a name leads to before it is moved, removed or replaced. With
// on-demand materialization, whether that was its last name decides what
// becomes of its record; with the cache, the change time the change gives the
// file is followed, so that its next open keeps the chunks.
UniqueFd file_of_name(const InodeRecord& directory, const char* name) {
  if (!state.ondemand && !state.cache) return UniqueFd();
  return UniqueFd(::openat(directory.fd.get(), name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

void name_removed_from(const UniqueFd& file) {
  if (file && state.ondemand) name_removed(file.get());
}

}  // namespace

void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
  if (state.oplog.logs_all()) state.oplog.write("mknod", get_inode(parent).log_id, name);
  make_node(req, parent, name, mode, rdev, nullptr);
}

void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  if (state.oplog.logs_all()) state.oplog.write("mkdir", get_inode(parent).log_id, name);
  make_node(req, parent, name, mode | S_IFDIR, 0, nullptr);
}

void symlink(fuse_req_t req, const char* link_text, fuse_ino_t parent, const char* name) {
  make_node(req, parent, name, S_IFLNK, 0, link_text);
}

void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char* newname) {
  InodeRecord& record = get_inode(ino);
  InodeRecord& new_parent = get_inode(newparent);
  state.oplog.write_if_all("link", record.log_id, new_parent.log_id, newname);
  fuse_entry_param entry{};
  entry.attr_timeout = state.timeout;
  entry.entry_timeout = state.timeout;
  SourceChange change(record, record.fd.get());
  const int result = inode_linkat(&record, new_parent.fd.get(), newname);
  const int error = errno;
  change.followed();
  if (result == -1) {
    reply_err(req, error);
    return;
  }
  if (::fstatat(record.fd.get(), "", &entry.attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == -1) {
    reply_err(req, errno);
    return;
  }
  entry.ino = get_fuse_ino(record);
  entry.generation = record.generation;
  {
    std::lock_guard lock(record.mutex);
    ++record.nlookup;
  }
  reply_entry(req, &entry);
}

void unlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
  InodeRecord& directory = get_inode(parent);
  state.oplog.write_if_all("unlink", directory.log_id, name);
  const UniqueFd removed = file_of_name(directory, name);
  SourceChange change(removed.get());
  if (::unlinkat(directory.fd.get(), name, 0) == -1) {
    reply_err(req, errno);
    return;
  }
  change.followed();
  name_removed_from(removed);
  reply_err(req, 0);
}

void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name) {
  InodeRecord& directory = get_inode(parent);
  state.oplog.write_if_all("rmdir", directory.log_id, name);
  std::lock_guard lock(directory.mutex);
  reply_err(req, ::unlinkat(directory.fd.get(), name, AT_REMOVEDIR) == -1 ? errno : 0);
}

void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
            const char* newname, unsigned int flags) {
  InodeRecord& old_parent = get_inode(parent);
  InodeRecord& new_parent = get_inode(newparent);
  if (state.oplog.logs_all()) {
    fuse_entry_param moved{};
    const int error = do_lookup(parent, name, &moved);
    if (error != 0) {
      reply_err(req, error);
      return;
    }
    state.oplog.write("rename", get_inode(moved.ino).log_id, new_parent.log_id, newname);
    do_forget(moved.ino, 1);
  }
  if (flags != 0) {
    reply_err(req, EINVAL);
    return;
  }
  const UniqueFd moved = file_of_name(old_parent, name);
  const UniqueFd replaced = file_of_name(new_parent, newname);
  SourceChange moved_change(moved.get());
  SourceChange replaced_change(replaced.get());
  if (::renameat(old_parent.fd.get(), name, new_parent.fd.get(), newname) == -1) {
    reply_err(req, errno);
    return;
  }
  moved_change.followed();
  replaced_change.followed();
  name_removed_from(replaced);
  reply_err(req, 0);
}

void readlink(fuse_req_t req, fuse_ino_t ino) {
  InodeRecord& record = get_inode(ino);
  state.oplog.write_if_all("readlink", record.log_id);
  char text[4097 + 1];
  const ssize_t length = ::readlinkat(record.fd.get(), "", text, 4097);
  if (length == -1) {
    reply_err(req, errno);
    return;
  }
  if (length == 4097) {
    reply_err(req, ENAMETOOLONG);
    return;
  }
  text[length] = '\0';
  reply_readlink(req, text);
}

void statfs(fuse_req_t req, fuse_ino_t ino) {
  state.oplog.write_if_all("statfs");
  struct statvfs info {};
  if (::fstatvfs(get_fs_fd(ino), &info) == -1) {
    reply_err(req, errno);
    return;
  }
  reply_statfs(req, &info);
}

}  // namespace quarnix
