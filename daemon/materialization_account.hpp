// What the peer still owes a placeholder: requests of its blocks queued or
// written and not yet answered. The peer writes each block it answers into
// the source file, so an operation that changes bytes or the size there
// waits until nothing is owed where it works.
#pragma once

#include <cstdint>

#include "materialize/materialization_record.hpp"

namespace quarnix {

// Whether a request of a block of source inode `ino` in `blocks` is owed.
bool answers_owed(uint64_t ino, BlockRange blocks);
// Whether one is owed from the block that holds byte `off` of `record` on.
bool answers_owed_from(uint64_t ino, const MaterializationRecord& record, uint64_t off);
// Complete, and nothing owed: nothing needs the record any more.
bool settled(uint64_t ino, const MaterializationRecord& record);

}  // namespace quarnix
