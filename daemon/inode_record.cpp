#include "daemon/inode_record.hpp"

#include <fcntl.h>

#include "daemon/daemon_state.hpp"
#include "daemon/proc_path.hpp"
#include "materialize/request_channel.hpp"

namespace quarnix {

int InodeRecord::request_block(uint64_t block, int32_t type) {
  // The writer finds the file's path through its own copy of the descriptor.
  UniqueFd file(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (!file) {
    const int error = errno;
    report_if_out_of_descriptors(error);
    return error;
  }
  return request_channel().send(
      BlockRequest{type, dev, ino, block, std::move(file), mat_record->path});
}

int64_t InodeRecord::request_range(uint64_t off, uint64_t size) {
  const std::vector<bool>& bits = mat_record->materialized;
  const BlockRange range = mat_record->blocks_of(off, size);
  int64_t count = 0;
  // Blocks requested before and still missing are asked for again.
  for (uint64_t block = range.first; block <= range.last && block < bits.size(); ++block) {
    if (bits[block]) continue;
    if (const int error = request_block(block, block_needed_by_data); error != 0) return -error;
    ++count;
  }
  return count;
}

}  // namespace quarnix
