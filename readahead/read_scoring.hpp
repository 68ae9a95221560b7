// The scoring of observed reads, shared by the daemon's read path and the
// prefetch daemon's trace follower: each observed block is compared with the
// cursor's current predictions, feeds the statistics and moves the cursor on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string_view>

#include "profile/block_id.hpp"
#include "profile/prediction_cursor.hpp"
#include "readahead/readahead_state.hpp"
#include "support/block_number.hpp"

namespace quarnix {

// Each caller's own texts for the scoring's debug lines.
struct ScoringMessages {
  // Leads the per-block lines, such as "read()".
  std::string_view caller;
  // Heads the cursor's predictions after each block (debug3).
  std::string_view predictions_heading;
  // Written when a block meets no prediction; empty: nothing is written.
  std::string_view no_predictions;
};

// The blocks that one observed read touched.
struct ObservedBlocks {
  std::uint32_t path_hash;
  std::uint64_t ino;  // for the messages only
  std::uint64_t first;
  std::uint64_t last;
};

namespace detail {
void log_no_predictions(const ScoringMessages& messages);
void log_prediction(const ScoringMessages& messages, block_id_t predicted, double p,
                    block_id_t observed);
void log_scored_block(const ScoringMessages& messages, block_id_t id, const ObservedBlocks& blocks,
                      const PredictionCursor& cursor);
}  // namespace detail

// Scores one block against the predictions of the cursor's position, then
// advances the cursor and forgets what was prefetched for that position.
// The caller holds the state's mutex.
template <typename Handle>
void score_block(abstract_readahead_state_t<Handle>& readahead, const ScoringMessages& messages,
                 block_id_t id) {
  const auto& predictions = readahead.cursor.current_predictions();
  if (predictions.empty()) detail::log_no_predictions(messages);
  for (std::size_t i = 0; i < predictions.size(); ++i) {
    const auto& [predicted, p] = predictions[i];
    if (i == 0) {
      ++readahead.total_predictions;
      readahead.expected_first_hits += p;
    }
    readahead.expected_hits += p;
    detail::log_prediction(messages, predicted, p, id);
    if (predicted != id) continue;
    ++readahead.hits;
    if (i == 0) ++readahead.first_hits;
    if (!readahead.prefetched.count(id)) ++readahead.hits_not_prefetched;
  }
  readahead.cursor.advance(id);
  readahead.prefetched.clear();
}

// Scores the blocks of one observed read in ascending order under the state's
// mutex and wakes the prefetching thread once. Block numbers beyond 32 bits
// have no id: such blocks are left out, and false is returned; when no block
// is left nothing is scored and nobody is woken.
template <typename Handle>
bool score_observed_blocks(abstract_readahead_state_t<Handle>& readahead,
                           const ScoringMessages& messages, const ObservedBlocks& blocks) {
  if (blocks.first > largest_block_number) return false;
  const std::uint64_t last = std::min(blocks.last, largest_block_number);
  std::lock_guard lock(readahead.mutex);
  for (std::uint64_t block = blocks.first; block <= last; ++block) {
    const block_id_t id(blocks.path_hash, block);
    score_block(readahead, messages, id);
    detail::log_scored_block(messages, id, blocks, readahead.cursor);
  }
  readahead.cond.notify_all();
  return blocks.last <= largest_block_number;
}

}  // namespace quarnix
