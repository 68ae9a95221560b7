// The bodies of the FUSE operations. Each takes the arguments libfuse gives
// its slot; bodies that the read-ahead thread also calls accept a null
// request, reply only when there is one, and return 0 or a positive errno.
#pragma once

#include <optional>
#include <string>

#include "daemon/daemon_state.hpp"

namespace quarnix {

struct OpenFile;

void init(void* userdata, fuse_conn_info* conn);

// Lookup, forget and paths.
std::string get_path(InodeRecord& record);
// The path get_path finds for the source object `dev`:`ino` open as `fd` (not
// the root), without a path hash and without a log line: nothing where
// get_path gives "(unknown)". For callers that ask often about files whose
// name may be gone.
std::optional<std::string> current_path(int fd, uint64_t dev, uint64_t ino);
// `confined`: the name is a relative path from outside input, resolved beneath
// the parent with no symbolic link followed and no mount point crossed.
int do_lookup(fuse_ino_t parent, const char* name, fuse_entry_param* entry, bool confined = false);
// The lookup of a file this call has just made through the mount.
int do_lookup_created(fuse_ino_t parent, const char* name, fuse_entry_param* entry);
void do_forget(fuse_ino_t ino, uint64_t count);
void lookup(fuse_req_t req, fuse_ino_t parent, const char* name);
void forget(fuse_req_t req, fuse_ino_t ino, uint64_t count);
void forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets);

// Attributes and names.
void getattr(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
void setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, fuse_file_info* fi);
void do_setattr(fuse_req_t req, fuse_ino_t ino, struct stat* attr, int to_set, OpenFile* file);
void mknod(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, dev_t rdev);
void mkdir(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode);
void symlink(fuse_req_t req, const char* link, fuse_ino_t parent, const char* name);
void link(fuse_req_t req, fuse_ino_t ino, fuse_ino_t newparent, const char* newname);
void unlink(fuse_req_t req, fuse_ino_t parent, const char* name);
void rmdir(fuse_req_t req, fuse_ino_t parent, const char* name);
void rename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t newparent,
            const char* newname, unsigned int flags);
void readlink(fuse_req_t req, fuse_ino_t ino);
void statfs(fuse_req_t req, fuse_ino_t ino);

// Directories.
void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi);
void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi);
void releasedir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
void fsyncdir(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi);

// File handles.
int open(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
void create(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* fi);
int release(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
// Truncates the file of a parked truncating open and replies to it; the
// inode's mutex held.
void complete_truncating_open(pending_open& open);
void flush(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi);
void fsync(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi);

// Contents.
int read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi);
int do_read(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, OpenFile* file);
void write_buf(fuse_req_t req, fuse_ino_t ino, fuse_bufvec* in, off_t off, fuse_file_info* fi);
void do_write_buf(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_bufvec* in,
                  OpenFile* file);
void fallocate(fuse_req_t req, fuse_ino_t ino, int mode, off_t offset, off_t length,
               fuse_file_info* fi);
void flock(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi, int op);

// Extended attributes.
void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
              int flags);
void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size);
void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size);
void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name);

void ops_init(fuse_lowlevel_ops* ops);

}  // namespace quarnix
