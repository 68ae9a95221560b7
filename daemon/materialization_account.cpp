#include "daemon/materialization_account.hpp"

#include "materialize/request_channel.hpp"

namespace quarnix {

bool answers_owed(uint64_t ino, BlockRange blocks) {
  return blocks.first <= blocks.last &&
         request_channel().account().owed_between(ino, blocks.first, blocks.last);
}

bool answers_owed_from(uint64_t ino, const MaterializationRecord& record, uint64_t off) {
  return request_channel().account().owed_from(ino, off / record.block_size);
}

bool settled(uint64_t ino, const MaterializationRecord& record) {
  return record.missing == 0 && !request_channel().account().owed_from(ino, 0);
}

}  // namespace quarnix
