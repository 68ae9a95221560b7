#include "quarnix_trainer/read_size_statistics.hpp"

#include <algorithm>
#include <string>

#include "support/logging.hpp"

namespace quarnix::trainer {

namespace {

constexpr std::size_t listed_read_sizes = 7;

}  // namespace

std::vector<read_size_count_t> sort_by_count_desc(const sizecount_t& sizecount) {
  std::vector<read_size_count_t> sizes(sizecount.begin(), sizecount.end());
  std::stable_sort(sizes.begin(), sizes.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  return sizes;
}

void print_blocksize_stats(const std::vector<read_size_count_t>& sizes) {
  std::string message = "Most frequent read block sizes (size vs count):";
  for (std::size_t i = 0; i < sizes.size() && i < listed_read_sizes; ++i)
    message += "\n   " + std::to_string(sizes[i].first) + "\t" + std::to_string(sizes[i].second);
  log_info(message);
}

}  // namespace quarnix::trainer
