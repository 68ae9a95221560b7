#include "daemon/materialization_completion.hpp"

#include <algorithm>
#include <list>

#include "daemon/after_inode_locks.hpp"
#include "daemon/guard.hpp"
#include "daemon/materialization_account.hpp"
#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/reply.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

OpenFile* open_file_of(uint64_t fh) {
  return reinterpret_cast<OpenFile*>(fh);
}

// Completes a parked operation as its own FUSE operation would have been.
template <typename Body>
void complete(const char* name, fuse_req_t req, Body body) {
  const std::string operation_name(name);
  guarded_call(operation_name, req, body);
}

// The first parked operation that is ready, taken out of its list; none when
// no operation is.
template <typename Operation, typename Ready>
std::list<Operation> take_first(std::list<Operation>& parked, Ready ready) {
  std::list<Operation> taken;
  const auto found = std::find_if(parked.begin(), parked.end(), ready);
  if (found != parked.end()) taken.splice(taken.end(), parked, found);
  return taken;
}

// The first parked operation, taken out of its list when it is ready: for
// writes, which go to the source in the order they came, as a later one may
// overlap an earlier one.
template <typename Operation, typename Ready>
std::list<Operation> take_front(std::list<Operation>& parked, Ready ready) {
  std::list<Operation> taken;
  if (!parked.empty() && ready(parked.front())) taken.splice(taken.end(), parked, parked.begin());
  return taken;
}

uint64_t new_size_of(const pending_setattr& setattr) {
  return static_cast<uint64_t>(setattr.attr.st_size);
}

uint64_t new_size_of(const pending_open&) {
  return 0;
}

template <typename SizeChange>
void note_arrival(std::list<SizeChange>& parked, const mat_notify* notify) {
  if (!notify || notify->type != block_needed_by_size_change) return;
  for (SizeChange& change : parked)
    if (change.block == notify->block) change.block_arrived = true;
}

}  // namespace

void complete_ready_operations(InodeRecord& inode, const mat_notify* notify) {
  MaterializationRecord& record = *inode.mat_record;
  const auto data_present = [&](const pending_read& parked) {
    return record.range_materialized(parked.off, parked.size);
  };
  // A write waits for its blocks, and for the answer to every request of
  // them: the peer's write of a block would otherwise land over it.
  const auto write_free = [&](const pending_write_buf& parked) {
    return record.range_materialized(parked.off, parked.size) &&
           !answers_owed(inode.ino, record.blocks_of(parked.off, parked.size));
  };
  note_arrival(record.setattrs, notify);
  note_arrival(record.opens, notify);
  // A size change waits for the type-1 notification of its block (unless a
  // later size change has ended that block), and for the answer to every
  // request for a block from its new end on: those writes land first.
  const auto size_change_free = [&](const auto& parked) {
    return (parked.block_arrived || parked.block >= record.materialized.size()) &&
           !answers_owed_from(inode.ino, record, new_size_of(parked));
  };
  // One at a time, each taken out first: an operation completed here may change
  // the size and so complete others itself.
  for (;;) {
    if (std::list<pending_read> taken = take_first(record.reads, data_present); !taken.empty()) {
      const pending_read& read = taken.front();
      complete("read", read.req, [&] {
        do_read(read.req, read.ino, read.size, static_cast<off_t>(read.off), open_file_of(read.fh));
      });
      continue;
    }
    if (std::list<pending_write_buf> taken = take_front(record.write_bufs, write_free);
        !taken.empty()) {
      pending_write_buf& write = taken.front();
      complete("write_buf", write.req, [&] {
        do_write_buf(write.req, write.ino, write.size, static_cast<off_t>(write.off),
                     write.buf.vector(), open_file_of(write.fh));
      });
      continue;
    }
    if (std::list<pending_setattr> taken = take_first(record.setattrs, size_change_free);
        !taken.empty()) {
      pending_setattr& setattr = taken.front();
      complete("setattr", setattr.req, [&] {
        do_setattr(setattr.req, setattr.ino, &setattr.attr, setattr.to_set,
                   open_file_of(setattr.fh));
      });
      continue;
    }
    if (std::list<pending_open> taken = take_first(record.opens, size_change_free);
        !taken.empty()) {
      pending_open& open = taken.front();
      complete(open.entry ? "create" : "open", open.req, [&] { complete_truncating_open(open); });
      continue;
    }
    return;
  }
}

void size_changed(InodeRecord& inode, uint64_t new_size) {
  inode.mat_record->end_at(new_size);
  complete_ready_operations(inode, nullptr);
}

void fail_parked_open(const pending_open& open, int error) {
  reply_err(open.req, error);
  // The kernel never learns of the lookup the create made.
  if (open.entry) AfterInodeLocks::give_back_lookup(open.ino);
}

namespace {

// Removes from `parked` and answers with EIO every operation that `waits`.
template <typename Operation, typename Waits, typename Fail>
void fail_waiting(std::list<Operation>& parked, Waits waits, Fail fail) {
  for (auto operation = parked.begin(); operation != parked.end();) {
    if (!waits(*operation)) {
      ++operation;
      continue;
    }
    fail(*operation);
    operation = parked.erase(operation);
  }
}

void fail_operations_waiting_for(InodeRecord& inode, uint64_t block) {
  MaterializationRecord& record = *inode.mat_record;
  const auto needs_block = [&](const auto& parked) {
    const BlockRange range = record.blocks_of(parked.off, parked.size);
    return range.first <= block && block <= range.last && block < record.materialized.size() &&
           !record.materialized[block];
  };
  const auto waits_for_block = [&](const auto& parked) {
    return parked.block == block && !parked.block_arrived;
  };
  const auto fail = [](const auto& parked) { reply_err(parked.req, EIO); };
  fail_waiting(record.reads, needs_block, fail);
  fail_waiting(record.write_bufs, needs_block, fail);
  fail_waiting(record.setattrs, waits_for_block, fail);
  fail_waiting(record.opens, waits_for_block,
               [](const pending_open& open) { fail_parked_open(open, EIO); });
  complete_ready_operations(inode, nullptr);
}

}  // namespace

void block_cannot_be_asked_for(uint64_t source_ino, uint64_t block) {
  const AfterInodeLocks after_locks;
  std::unique_lock state_lock(state.mutex);
  const auto found = state.mat_records.find(source_ino);
  if (found == state.mat_records.end()) return;
  MaterializationRecord& record = found->second;
  const auto inode = state.inodes.find(source_ino);
  const bool linked = inode != state.inodes.end() && inode->second.mat_record == &record;
  std::unique_lock<std::mutex> inode_lock;
  if (linked) {
    inode_lock = std::unique_lock(inode->second.mutex);
    state_lock.unlock();
  }
  if (!record.nameless_reported)
    log_warning(boost::format("request_block(): inode %d has no name left in the source tree, "
                              "its missing blocks cannot be asked for") %
                source_ino);
  record.nameless_reported = true;
  if (linked) fail_operations_waiting_for(inode->second, block);
}

void fail_parked_operations_of(InodeRecord& inode) {
  MaterializationRecord& record = *inode.mat_record;
  for (const pending_read& read : record.reads)
    reply_err(read.req, EIO);
  for (const pending_write_buf& write : record.write_bufs)
    reply_err(write.req, EIO);
  for (const pending_setattr& setattr : record.setattrs)
    reply_err(setattr.req, EIO);
  for (const pending_open& open : record.opens)
    fail_parked_open(open, EIO);
  record.reads.clear();
  record.write_bufs.clear();
  record.setattrs.clear();
  record.opens.clear();
}

}  // namespace quarnix
