#include "daemon/guard.hpp"
#include "daemon/operations.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// Runs an operation body inside the guard under the operation's name.
template <typename Body>
void run_guarded(const char* name, fuse_req_t req, Body body) {
  const std::string operation_name(name);
  guarded_call(operation_name, req, body);
}

void init_callback(void* userdata, fuse_conn_info* conn) {
  run_guarded("init", nullptr, [&] { init(userdata, conn); });
}
void lookup_callback(fuse_req_t req, fuse_ino_t parent, const char* name) {
  run_guarded("lookup", req, [&] { lookup(req, parent, name); });
}
void forget_callback(fuse_req_t req, fuse_ino_t ino, uint64_t nlookup) {
  run_guarded("forget", nullptr, [&] { forget(req, ino, nlookup); });
}
void getattr_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  run_guarded("getattr", req, [&] { getattr(req, ino, fi); });
}
void setattr_callback(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set,
                      fuse_file_info* fi) {
  run_guarded("setattr", req, [&] { setattr(req, ino, attr, to_set, fi); });
}
void readlink_callback(fuse_req_t req, fuse_ino_t ino) {
  run_guarded("readlink", req, [&] { readlink(req, ino); });
}
void mknod_callback(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev) {
  run_guarded("mknod", req, [&] { mknod(req, parent, name, mode, rdev); });
}
void mkdir_callback(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode) {
  run_guarded("mkdir", req, [&] { mkdir(req, parent, name, mode); });
}
void unlink_callback(fuse_req_t req, fuse_ino_t parent, const char* name) {
  run_guarded("unlink", req, [&] { unlink(req, parent, name); });
}
void rmdir_callback(fuse_req_t req, fuse_ino_t parent, const char* name) {
  run_guarded("rmdir", req, [&] { rmdir(req, parent, name); });
}
void symlink_callback(fuse_req_t req, const char* link_text, fuse_ino_t parent, const char* name) {
  run_guarded("symlink", req, [&] { symlink(req, link_text, parent, name); });
}
void rename_callback(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
                     const char* newname, unsigned int flags) {
  run_guarded("rename", req, [&] { rename(req, parent, name, newparent, newname, flags); });
}
void link_callback(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char* newname) {
  run_guarded("link", req, [&] { link(req, ino, newparent, newname); });
}
void open_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  run_guarded("open", req, [&] { open(req, ino, fi); });
}
void read_callback(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  run_guarded("read", req, [&] { read(req, ino, size, off, fi); });
}
void flush_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  run_guarded("flush", req, [&] { flush(req, ino, fi); });
}
void release_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  run_guarded("release", req, [&] { release(req, ino, fi); });
}
void fsync_callback(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
  run_guarded("fsync", req, [&] { fsync(req, ino, datasync, fi); });
}
void opendir_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  run_guarded("opendir", req, [&] { opendir(req, ino, fi); });
}
void readdir_callback(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  run_guarded("readdir", req, [&] { readdir(req, ino, size, off, fi); });
}
void releasedir_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  run_guarded("releasedir", req, [&] { releasedir(req, ino, fi); });
}
void fsyncdir_callback(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
  run_guarded("fsyncdir", req, [&] { fsyncdir(req, ino, datasync, fi); });
}
void statfs_callback(fuse_req_t req, fuse_ino_t ino) {
  run_guarded("statfs", req, [&] { statfs(req, ino); });
}
void setxattr_callback(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value,
                       size_t size, int flags) {
  run_guarded("setxattr", req, [&] { setxattr(req, ino, name, value, size, flags); });
}
void getxattr_callback(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  run_guarded("getxattr", req, [&] { getxattr(req, ino, name, size); });
}
void listxattr_callback(fuse_req_t req, fuse_ino_t ino, size_t size) {
  run_guarded("listxattr", req, [&] { listxattr(req, ino, size); });
}
void removexattr_callback(fuse_req_t req, fuse_ino_t ino, const char* name) {
  run_guarded("removexattr", req, [&] { removexattr(req, ino, name); });
}
void create_callback(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode,
                     fuse_file_info* fi) {
  run_guarded("create", req, [&] { create(req, parent, name, mode, fi); });
}
void write_buf_callback(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* in, off_t off,
                        fuse_file_info* fi) {
  run_guarded("write_buf", req, [&] { write_buf(req, ino, in, off, fi); });
}
void forget_multi_callback(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  run_guarded("forget_multi", nullptr, [&] { forget_multi(req, count, forgets); });
}
void flock_callback(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, int op) {
  run_guarded("flock", req, [&] { flock(req, ino, fi, op); });
}
void fallocate_callback(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
                        fuse_file_info* fi) {
  run_guarded("fallocate", req, [&] { fallocate(req, ino, mode, offset, length, fi); });
}
void readdirplus_callback(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off,
                          fuse_file_info* fi) {
  run_guarded("readdirplus", req, [&] { readdirplus(req, ino, size, off, fi); });
}

void add_capability(fuse_conn_info* conn, unsigned capability) {
  if (conn->capable & capability) conn->want |= capability;
}

// The kernel queues read-ahead and writeback of every file of the mount
// behind at most this many background requests (12 unless raised, which root
// may). Reads parked until the materialization peer delivers their blocks hold
// theirs all that time, so that at the kernel's limit nothing else of the mount
// could be read ahead or written back.
constexpr unsigned max_background_requests = 4096;

}  // namespace

void init(void*, fuse_conn_info* conn) {
  add_capability(conn, FUSE_CAP_EXPORT_SUPPORT);
  if (!state.oplog.log_all) add_capability(conn, FUSE_CAP_WRITEBACK_CACHE);
  add_capability(conn, FUSE_CAP_FLOCK_LOCKS);
  if (!state.nosplice) {
    add_capability(conn, FUSE_CAP_SPLICE_WRITE);
    add_capability(conn, FUSE_CAP_SPLICE_READ);
    add_capability(conn, FUSE_CAP_SPLICE_MOVE);
  }
  if (state.oplog.enabled && state.oplog.log_all) {
    debug_line(3, DebugStyle::tagged, "Disabling kernel readahead.");
    conn->max_readahead = 0;
  }
  if (state.ondemand) {
    conn->max_background = max_background_requests;
    conn->congestion_threshold = max_background_requests / 4 * 3;
  }
}

void ops_init(fuse_lowlevel_ops* ops) {
  ops->init = init_callback;
  ops->lookup = lookup_callback;
  ops->forget = forget_callback;
  ops->getattr = getattr_callback;
  ops->setattr = setattr_callback;
  ops->readlink = readlink_callback;
  ops->mknod = mknod_callback;
  ops->mkdir = mkdir_callback;
  ops->unlink = unlink_callback;
  ops->rmdir = rmdir_callback;
  ops->symlink = symlink_callback;
  ops->rename = rename_callback;
  ops->link = link_callback;
  ops->open = open_callback;
  ops->read = read_callback;
  ops->flush = flush_callback;
  ops->release = release_callback;
  ops->fsync = fsync_callback;
  ops->opendir = opendir_callback;
  ops->readdir = readdir_callback;
  ops->releasedir = releasedir_callback;
  ops->fsyncdir = fsyncdir_callback;
  ops->statfs = statfs_callback;
  ops->setxattr = setxattr_callback;
  ops->getxattr = getxattr_callback;
  ops->listxattr = listxattr_callback;
  ops->removexattr = removexattr_callback;
  ops->create = create_callback;
  ops->write_buf = write_buf_callback;
  ops->forget_multi = forget_multi_callback;
  ops->flock = flock_callback;
  ops->fallocate = fallocate_callback;
  ops->readdirplus = readdirplus_callback;
}

}  // namespace quarnix
