// Replies to libfuse requests. Every reply goes through these so that the
// operation guard knows whether its request has been answered (libfuse takes
// one reply per request).
#pragma once

#include "daemon/daemon_state.hpp"

namespace quarnix {

// Records that `req` has been answered or handed on (a parked request); the
// guard then never replies to it.
void mark_answered(fuse_req_t req);

inline int reply_err(fuse_req_t req, int error) {
  mark_answered(req);
  return fuse_reply_err(req, error);
}
inline void reply_none(fuse_req_t req) {
  mark_answered(req);
  fuse_reply_none(req);
}
inline int reply_entry(fuse_req_t req, const fuse_entry_param* entry) {
  mark_answered(req);
  return fuse_reply_entry(req, entry);
}
inline int reply_create(fuse_req_t req, const fuse_entry_param* entry, const fuse_file_info* fi) {
  mark_answered(req);
  return fuse_reply_create(req, entry, fi);
}
inline int reply_attr(fuse_req_t req, const struct stat* attr, double timeout) {
  mark_answered(req);
  return fuse_reply_attr(req, attr, timeout);
}
inline int reply_readlink(fuse_req_t req, const char* link) {
  mark_answered(req);
  return fuse_reply_readlink(req, link);
}
inline int reply_open(fuse_req_t req, const fuse_file_info* fi) {
  mark_answered(req);
  return fuse_reply_open(req, fi);
}
inline int reply_write(fuse_req_t req, size_t count) {
  mark_answered(req);
  return fuse_reply_write(req, count);
}
inline int reply_buf(fuse_req_t req, const char* buf, size_t size) {
  mark_answered(req);
  return fuse_reply_buf(req, buf, size);
}
inline int reply_data(fuse_req_t req, fuse_bufvec* bufv, fuse_buf_copy_flags flags) {
  mark_answered(req);
  return fuse_reply_data(req, bufv, flags);
}
inline int reply_statfs(fuse_req_t req, const struct statvfs* stbuf) {
  mark_answered(req);
  return fuse_reply_statfs(req, stbuf);
}
inline int reply_xattr(fuse_req_t req, size_t count) {
  mark_answered(req);
  return fuse_reply_xattr(req, count);
}

}  // namespace quarnix
