// One inode of the mounted tree: an O_PATH descriptor of the source object.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "support/unique_fd.hpp"

namespace quarnix {

struct MaterializationRecord;

struct InodeRecord {
  InodeRecord() = default;
  InodeRecord(const InodeRecord&) = delete;
  InodeRecord& operator=(const InodeRecord&) = delete;

  // On-demand materialization, for an inode with a linked
  // record and its mutex held. Queues a request for one download block: 0,
  // or the errno when it cannot be queued (the peer has gone, no descriptor
  // is left to name the file with).
  int request_block(uint64_t block, int32_t type);
  // Asks for every missing download block of [off, off + size): how many
  // requests were queued, or the negated errno of the one that was not.
  int64_t request_range(uint64_t off, uint64_t size);

  UniqueFd fd;  // opened with O_PATH | O_NOFOLLOW relative to the parent; empty = not set
  bool is_symlink = false;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t nlookup = 0;
  MaterializationRecord* mat_record = nullptr;
  // Guards nlookup and the materialization record linked through mat_record,
  // with its parked operations. Taken after the state mutex (the whole order
  // is at DaemonState::mutex). Parked operations are completed and failed
  // with it held, so that no notification, size change or forget of the
  // inode comes between the test of the bits and the operation.
  std::mutex mutex;
  uint64_t log_id = 0;
  // Tells this record from every earlier one at the same address, so that an
  // export handle of a forgotten inode is stale instead of naming another file.
  uint64_t generation = 0;
  // Set by each path resolution while reads of the inode may be scored.
  std::atomic<uint32_t> path_hash{0};
};

}  // namespace quarnix
