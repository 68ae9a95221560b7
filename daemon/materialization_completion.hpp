// Completion of parked operations once what they wait for is there: after a
// notification brought a block, and after a size change ended blocks.
#pragma once

#include <cstdint>

#include "daemon/inode_record.hpp"
#include "materialize/materialization_record.hpp"
#include "materialize/request_channel.hpp"

namespace quarnix {

// For an inode with a linked record, its mutex held. `notify`: the
// notification that brought a block, or null after a size change.
void complete_ready_operations(InodeRecord& inode, const mat_notify* notify);

// After the source file of an inode with a linked record took the size
// `new_size` through the mount, its mutex held: the blocks the change ended
// are no longer missing, and the operations that waited for them go on (a
// reader sees the new size).
void size_changed(InodeRecord& inode, uint64_t new_size);

// Answers a parked open with `error`; a create gives back the lookup it made
// when the thread's AfterInodeLocks scope ends.
void fail_parked_open(const pending_open& open, int error);

// Answers every operation parked on the inode's record with EIO; its mutex
// held. For when nothing can complete them: the peer has gone, or the file
// has no name left.
void fail_parked_operations_of(InodeRecord& inode);

// The writer found no name of the file in the source tree for a request of
// `block`: the operations that wait for that block fail with EIO (warned once
// per file), and a size change that waited only for the request goes on. With
// no lock held.
void block_cannot_be_asked_for(uint64_t source_ino, uint64_t block);

}  // namespace quarnix
