#include "daemon/materialization_parking.hpp"

#include <list>
#include <mutex>
#include <new>
#include <optional>

#include "daemon/after_inode_locks.hpp"
#include "daemon/materialization_account.hpp"
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
    const int64_t sent =
        record.missing == 0 ? 0 : inode.request_range(static_cast<uint64_t>(off), size);
    // Behind a parked write, or one of the peer's still to come, it waits its turn.
    if (sent == 0 && record.write_bufs.empty() &&
        !answers_owed(inode.ino, record.blocks_of(static_cast<uint64_t>(off), size)))
      return false;
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

namespace {

// What a size change to `new_size` waits for, its request sent: nothing (it
// goes on at once), or the first missing block from its new end on, asked for
// with type 1. When every block there is present it still waits for requests
// the peer has not answered: their writes land first. EIO when the request
// cannot be sent.
struct SizeChangeWait {
  bool now = false;
  int error = 0;
  std::optional<uint64_t> block;
};

SizeChangeWait wait_for_size_change(InodeRecord& inode, uint64_t new_size) {
  MaterializationRecord& record = *inode.mat_record;
  const std::optional<uint64_t> block = record.first_missing_from(new_size);
  if (!block) return {!answers_owed_from(inode.ino, record, new_size), 0, std::nullopt};
  if (inode.request_block(*block, block_needed_by_size_change) != 0) return {false, EIO, block};
  return {false, 0, block};
}

template <typename SizeChange>
void park_size_change(std::list<SizeChange>& parked, const SizeChangeWait& wait) {
  parked.back().block = wait.block.value_or(0);
  parked.back().block_arrived = !wait.block;
}

}  // namespace

void change_size_when_present(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, struct stat* attr,
                              int to_set, const fuse_file_info* fi) {
  // The size change may complete parked operations, which log lines, and
  // parked creates, which may fail.
  const AfterInodeLocks after_locks;
  std::lock_guard lock(inode.mutex);
  const SizeChangeWait wait = wait_for_size_change(inode, static_cast<uint64_t>(attr->st_size));
  if (wait.now) {
    do_setattr(req, ino, attr, to_set, get_open_file(fi));
    return;
  }
  if (wait.error != 0) {
    reply_err(req, wait.error);
    return;
  }
  MaterializationRecord& record = *inode.mat_record;
  record.setattrs.emplace_back(req, ino, *attr, to_set, handle_of(fi), 0);
  park_size_change(record.setattrs, wait);
  mark_answered(req);
}

void truncate_when_present(InodeRecord& inode, pending_open open) {
  const AfterInodeLocks after_locks;
  std::lock_guard lock(inode.mutex);
  const SizeChangeWait wait = wait_for_size_change(inode, 0);
  if (wait.now) {
    complete_truncating_open(open);
    return;
  }
  if (wait.error != 0) {
    fail_parked_open(open, wait.error);
    return;
  }
  MaterializationRecord& record = *inode.mat_record;
  mark_answered(open.req);
  record.opens.push_back(std::move(open));
  park_size_change(record.opens, wait);
}

}  // namespace quarnix
