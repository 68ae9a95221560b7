#include "daemon/materialization_parking.hpp"

#include <mutex>
#include <new>

#include "daemon/after_inode_locks.hpp"
#include "daemon/materialization_completion.hpp"
#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/page_cache.hpp"
#include "daemon/reply.hpp"
#include "materialize/request_channel.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

uint64_t handle_of(const fuse_file_info* fi) {
  return fi ? fi->fh : 0;
}

// A copy of the incoming data, or the errno of a failed copy.
int copy_incoming(fuse_bufvec* in, size_t size, std::optional<ParkedData>& parked) {
  std::vector<char> bytes;
  try {
    bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
  ParkedData data(std::move(bytes));
  const ssize_t copied = fuse_buf_copy(data.vector(), in, transfer_flags());
  if (copied < 0) return static_cast<int>(-copied);
  // Zeros in place of missing bytes would be written as data.
  if (static_cast<size_t>(copied) != size) return EIO;
  parked.emplace(std::move(data));
  return 0;
}

}  // namespace

std::optional<int> park_read(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, size_t size,
                             off_t off, const fuse_file_info* fi) {
  std::lock_guard lock(inode.mutex);
  MaterializationRecord& record = *inode.mat_record;
  if (record.missing == 0) return std::nullopt;
  const int64_t sent = inode.request_range(static_cast<uint64_t>(off), size);
  if (sent < 0) {
    if (req) reply_err(req, EIO);
    return static_cast<int>(-sent);
  }
  if (sent == 0) return std::nullopt;
  if (!req) return EAGAIN;
  record.reads.emplace_back(req, ino, size, static_cast<uint64_t>(off), handle_of(fi));
  mark_answered(req);
  return 0;
}

bool park_write_buf(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, fuse_bufvec* in,
                    size_t size, off_t off, const fuse_file_info* fi) {
  int error = 0;
  {
    std::lock_guard lock(inode.mutex);
    MaterializationRecord& record = *inode.mat_record;
    if (record.missing == 0) return false;
    const int64_t sent = inode.request_range(static_cast<uint64_t>(off), size);
    if (sent == 0) return false;
    std::optional<ParkedData> parked;
    if (sent < 0)
      error = EIO;
    else
      error = copy_incoming(in, size, parked);
    if (error == 0) {
      record.write_bufs.emplace_back(req, ino, size, static_cast<uint64_t>(off), std::move(*parked),
                                     handle_of(fi));
      mark_answered(req);
      return true;
    }
  }
  reply_err(req, error);
  return true;
}

void change_size_when_present(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, struct stat* attr,
                              int to_set, const fuse_file_info* fi) {
  // The size change may complete parked operations, which log lines, and
  // parked creates, which may fail.
  const AfterInodeLocks after_locks;
  std::lock_guard lock(inode.mutex);
  MaterializationRecord& record = *inode.mat_record;
  const std::optional<uint64_t> block =
      record.first_missing_from(static_cast<uint64_t>(attr->st_size));
  if (!block) {
    do_setattr(req, ino, attr, to_set, get_open_file(fi));
    return;
  }
  if (inode.request_block(*block, block_needed_by_size_change) != 0) {
    reply_err(req, EIO);
    return;
  }
  record.setattrs.emplace_back(req, ino, *attr, to_set, handle_of(fi), *block);
  mark_answered(req);
}

void truncate_when_present(InodeRecord& inode, pending_open open) {
  const AfterInodeLocks after_locks;
  std::lock_guard lock(inode.mutex);
  MaterializationRecord& record = *inode.mat_record;
  const std::optional<uint64_t> block = record.first_missing_from(0);
  if (!block) {
    complete_truncating_open(open);
    return;
  }
  if (inode.request_block(*block, block_needed_by_size_change) != 0) {
    fail_parked_open(open, EIO);
    return;
  }
  open.block = *block;
  mark_answered(open.req);
  record.opens.push_back(std::move(open));
}

}  // namespace quarnix
