// The request functions of an inode with a materialization record.

#include "daemon/daemon_state.hpp"
#include "materialize/request_channel.hpp"
#include "materialize/request_path.hpp"
#include "support/logging.hpp"

namespace quarnix {

int InodeRecord::request_block(uint64_t block, int32_t type) {
  const std::optional<std::string> found = request_path(*this);
  if (!found) {
    log_warning(boost::format("request_block(): inode %d has no name left in the source tree, "
                              "block %d cannot be asked for") %
                ino % block);
    return ENOENT;
  }
  const std::string& path = *found;
  std::vector<char> record = encode_mat_request(type, dev, ino, block, path);
  debug_line(3, DebugStyle::plain, [&] {
    return "DEBUG: Sending materialization request for inode " + std::to_string(ino) +
           ", blockno " + std::to_string(block) + " (path " + path + ", size " +
           std::to_string(record.size()) + ")";
  });
  const int error = request_channel().send(std::move(record));
  if (error == 0) mat_record->mark_requested(block);
  return error;
}

int64_t InodeRecord::request_range(uint64_t off, uint64_t size) {
  const std::vector<bool>& bits = mat_record->materialized;
  const BlockRange range = download_blocks(off, size);
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
