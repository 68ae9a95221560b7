// The candidate search: the tree is walked from the cursor outwards, always
// along the most probable predicted path next.
#pragma once

#include <queue>
#include <vector>

#include "profile/block_id.hpp"
#include "profile/prediction_cursor.hpp"

namespace quarnix {

// Paths less probable than this are yielded but not expanded further.
inline constexpr double expansion_threshold = 0.1;

struct PrefetchCandidate {
  PrefetchCandidate(const PredictionCursor& cursor, block_id_t id, double p)
      : cursor(cursor), p(p), id(id) {}

  // Advanced along the predicted path up to and including `id`.
  PredictionCursor cursor;
  // Product of the probabilities along the path.
  double p;
  block_id_t id;
};

// True when `a` is less probable than `b`.
bool compare_candidates(const PrefetchCandidate& a, const PrefetchCandidate& b);

struct candidate_order {
  bool operator()(const PrefetchCandidate& a, const PrefetchCandidate& b) const {
    return compare_candidates(a, b);
  }
};

// The most probable candidate on top.
using candidate_queue =
    std::priority_queue<PrefetchCandidate, std::vector<PrefetchCandidate>, candidate_order>;

// One candidate per current prediction of the cursor; empty when the cursor
// has no position.
candidate_queue get_prefetch_candidates(const PredictionCursor& cursor);

// Removes the most probable candidate, queues its own predicted successors
// when it is probable enough, and returns its block. Throws iterator_end when
// the queue is empty.
block_id_t next_prefetch_candidate(candidate_queue& queue);

}  // namespace quarnix
