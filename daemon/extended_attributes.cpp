#include <sys/xattr.h>

#include <cstring>
#include <memory>
#include <new>

#include "daemon/cache_refresh.hpp"
#include "daemon/operations.hpp"
#include "daemon/proc_path.hpp"
#include "daemon/reply.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// Answers a get or list call with the FUSE size-probe convention: size 0
// asks for the length, otherwise the value itself is wanted.
template <typename Fetch>
void reply_attribute_data(fuse_req_t req, size_t size, Fetch fetch) {
  if (size == 0) {
    const ssize_t length = fetch(nullptr, 0);
    if (length == -1)
      reply_err(req, errno);
    else
      reply_xattr(req, static_cast<size_t>(length));
    return;
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer) {
    reply_err(req, ENOMEM);
    return;
  }
  const ssize_t length = fetch(buffer.get(), size);
  if (length == -1)
    reply_err(req, errno);
  else if (length > 0)
    reply_buf(req, buffer.get(), static_cast<size_t>(length));
  else
    reply_err(req, 0);
}

}  // namespace

void getxattr(fuse_req_t req, fuse_ino_t ino, const char* name, size_t size) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("getxattr", inode.log_id, name);
  if (inode.is_symlink) {
    reply_err(req, EOPNOTSUPP);
    return;
  }
  const ProcPath path(inode.fd.get());
  reply_attribute_data(req, size, [&](char* buffer, size_t length) {
    return ::getxattr(path.c_str(), name, buffer, length);
  });
}

void listxattr(fuse_req_t req, fuse_ino_t ino, size_t size) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("listxattr", inode.log_id);
  if (inode.is_symlink) {
    reply_err(req, EOPNOTSUPP);
    return;
  }
  const ProcPath path(inode.fd.get());
  reply_attribute_data(req, size, [&](char* buffer, size_t length) {
    return ::listxattr(path.c_str(), buffer, length);
  });
}

void setxattr(fuse_req_t req, fuse_ino_t ino, const char* name, const char* value, size_t size,
              int flags) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("setxattr", inode.log_id, name, static_cast<uint64_t>(size));
  if (state.cache && std::strcmp(name, "quarnix_drop_cache") == 0) {
    const bool dropped = state.cache->drop(inode.ino);
    debug_line(4, DebugStyle::plain, [&] {
      return dropped
                 ? "DEBUG: Dropping cache for inode " + std::to_string(inode.ino)
                 : "DEBUG: Inode " + std::to_string(inode.ino) + " not cached, can't drop cache.";
    });
    reply_err(req, 0);
    return;
  }
  if (inode.is_symlink) {
    reply_err(req, EOPNOTSUPP);
    return;
  }
  const ProcPath path(inode.fd.get());
  SourceChange change(inode, inode.fd.get());
  const int result = ::setxattr(path.c_str(), name, value, size, flags);
  const int error = errno;
  change.followed();
  reply_err(req, result == -1 ? error : 0);
}

void removexattr(fuse_req_t req, fuse_ino_t ino, const char* name) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("removexattr", inode.log_id, name);
  if (inode.is_symlink) {
    reply_err(req, EOPNOTSUPP);
    return;
  }
  SourceChange change(inode, inode.fd.get());
  const int result = ::removexattr(ProcPath(inode.fd.get()).c_str(), name);
  const int error = errno;
  change.followed();
  reply_err(req, result == -1 ? error : 0);
}

}  // namespace quarnix
