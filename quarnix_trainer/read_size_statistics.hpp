// Which read sizes the logs hold most often: a hint whether the block size fits.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "quarnix_trainer/process_readlogs.hpp"

namespace quarnix::trainer {

using read_size_count_t = std::pair<std::uint64_t, std::uint64_t>;

// (read size, count) pairs, highest count first; equal counts smallest size first.
std::vector<read_size_count_t> sort_by_count_desc(const sizecount_t& sizecount);

// One INFO message listing the seven most frequent read sizes and their counts.
void print_blocksize_stats(const std::vector<read_size_count_t>& sizes);

}  // namespace quarnix::trainer
