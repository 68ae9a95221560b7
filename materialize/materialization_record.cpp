#include "materialize/materialization_record.hpp"

#include <algorithm>

namespace quarnix {

fuse_bufvec* ParkedData::vector() {
  buffers = FUSE_BUFVEC_INIT(bytes.size());
  buffers.buf[0].mem = bytes.data();
  return &buffers;
}

BlockRange MaterializationRecord::blocks_of(uint64_t off, uint64_t size) const {
  if (size == 0) return {};
  return {off / block_size, (off + size - 1) / block_size};
}

bool MaterializationRecord::range_materialized(uint64_t off, uint64_t size) const {
  if (missing == 0) return true;
  const BlockRange range = blocks_of(off, size);
  for (uint64_t block = range.first; block <= range.last && block < materialized.size(); ++block)
    if (!materialized[block]) return false;
  return true;
}

void MaterializationRecord::end_at(uint64_t size) {
  const BlockRange range = blocks_of(0, size);
  const uint64_t blocks = size == 0 ? 0 : range.last + 1;
  if (blocks < materialized.size()) resize_blocks(blocks);
}

void MaterializationRecord::resize_blocks(uint64_t blocks) {
  materialized.resize(blocks, false);
  missing = static_cast<uint64_t>(std::count(materialized.begin(), materialized.end(), false));
}

bool MaterializationRecord::mark_present(uint64_t block) {
  if (block >= materialized.size()) return false;
  if (!materialized[block]) {
    materialized[block] = true;
    --missing;
  }
  return true;
}

std::optional<uint64_t> MaterializationRecord::first_missing_from(uint64_t off) const {
  if (missing == 0) return std::nullopt;
  for (uint64_t block = off / block_size; block < materialized.size(); ++block)
    if (!materialized[block]) return block;
  return std::nullopt;
}

}  // namespace quarnix
