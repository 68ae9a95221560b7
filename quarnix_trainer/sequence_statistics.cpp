#include "quarnix_trainer/sequence_statistics.hpp"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iostream>
#include <utility>
#include <vector>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix::trainer {

namespace {

block_sequence_t context_of(const block_sequence_t& sequence) {
  return block_sequence_t(sequence, sequence.size() - 1);
}

}  // namespace

occ_count_t calc_agg_occ_count(const occ_count_t& counts, int levels) {
  occ_count_t aggregated;
  if (counts.empty()) return aggregated;
  const std::size_t length = counts.begin()->first.size();
  if (static_cast<long long>(levels) >= static_cast<long long>(length))
    throw RuntimeError(boost::format("levels(%d) must be < sequence length (%d)") % levels %
                       length);
  for (const auto& [sequence, count] : counts) {
    if (sequence.size() != length) throw RuntimeError("Assertion failed: el.first.size() == len");
    for (long long prefix = static_cast<long long>(length) - levels;
         prefix < static_cast<long long>(length); ++prefix)
      aggregated[block_sequence_t(sequence, static_cast<std::size_t>(prefix))] += count;
  }
  return aggregated;
}

block_probability_t calc_block_probability(const occ_count_t& counts,
                                           const occ_count_t& aggregated) {
  block_probability_t probabilities;
  for (const auto& [sequence, count] : counts) {
    const std::uint64_t trailing_count = aggregated.at(context_of(sequence));
    if (trailing_count == 0) throw RuntimeError("Assertion failed: trailing_count != 0");
    if (log_enabled(4))
      log_debug(2, boost::format("calc_block_probability(): L = %s, p = %d/%d") %
                       sequence_to_string(sequence) % count % trailing_count);
    probabilities[sequence] = static_cast<double>(count) / static_cast<double>(trailing_count);
  }
  return probabilities;
}

prefetches_needed_t calc_prefetches_needed(block_probability_t probabilities, double p_threshold) {
  std::map<block_sequence_t, std::vector<double>> by_context;
  for (const auto& [sequence, probability] : probabilities)
    by_context[context_of(sequence)].push_back(probability);

  prefetches_needed_t needed;
  for (auto& [context, list] : by_context) {
    std::sort(list.begin(), list.end(), std::greater<double>());
    double sum = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
      sum = list[i] + sum;
      if (sum >= p_threshold) {
        needed[context] = static_cast<int>(i + 1);
        break;
      }
    }
  }
  return needed;
}

double weighted_prefetches_needed(const occ_count_t& aggregated, prefetches_needed_t& needed) {
  double sum = 0;
  double total = 0;
  for (const auto& [context, count] : aggregated) {
    const double weight = static_cast<double>(count);
    sum = sum + needed[context] * weight;
    total = total + weight;
  }
  return sum / total;
}

void print_occ_counts(const occ_count_t& table) {
  // Counts stay 64-bit: a narrowed count would print and sort wrongly.
  std::vector<std::pair<block_sequence_t, std::uint64_t>> entries(table.begin(), table.end());
  // Stable, so that equal counts keep the sequence order.
  std::stable_sort(entries.begin(), entries.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  for (const auto& [sequence, count] : entries)
    std::cout << "  " << sequence_to_string(sequence) << ": " << count << "\n";
  std::cout << std::flush;
}

}  // namespace quarnix::trainer
