// The read-ahead statistics block that both programs print.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "readahead/readahead_state.hpp"

namespace quarnix {

// A consistent copy of the six statistics of a read-ahead state.
struct readahead_stats_t {
  std::uint64_t total_predictions = 0;
  std::uint64_t hits_not_prefetched = 0;
  std::uint64_t first_hits = 0;
  std::uint64_t hits = 0;
  double expected_first_hits = 0.0;
  double expected_hits = 0.0;
};

// Takes the state's mutex, so the scoring never leaves a figure half-updated
// in the copy. Not for a caller that holds the mutex, nor for a signal handler.
template <typename Handle>
readahead_stats_t snapshot_readahead_stats(abstract_readahead_state_t<Handle>& readahead) {
  std::lock_guard lock(readahead.mutex);
  return {readahead.total_predictions,   readahead.hits_not_prefetched,
          readahead.first_hits,          readahead.hits,
          readahead.expected_first_hits, readahead.expected_hits};
}

// "INFO: Read-ahead stats:" and the six lines, each ended by "\n". A zero
// divisor prints as the stream prints the IEEE result.
std::string format_readahead_stats(const readahead_stats_t& stats);

template <typename Handle>
std::string format_readahead_stats(abstract_readahead_state_t<Handle>& readahead) {
  return format_readahead_stats(snapshot_readahead_stats(readahead));
}

}  // namespace quarnix
