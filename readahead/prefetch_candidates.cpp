#include "readahead/prefetch_candidates.hpp"

#include <utility>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

bool compare_candidates(const PrefetchCandidate& a, const PrefetchCandidate& b) {
  return a.p < b.p;
}

candidate_queue get_prefetch_candidates(const PredictionCursor& cursor) {
  debug_line(4, DebugStyle::tagged, "get_prefetch_candidates(): starting");
  candidate_queue queue;
  // The start element stands for the cursor itself; consuming it queues the
  // current predictions.
  queue.emplace(cursor, block_id_t(), 1.0);
  next_prefetch_candidate(queue);
  return queue;
}

block_id_t next_prefetch_candidate(candidate_queue& queue) {
  if (queue.empty()) throw iterator_end();
  const PrefetchCandidate popped = queue.top();
  queue.pop();
  if (!popped.cursor.nodes.empty())
    debug_line(5, DebugStyle::tagged, [&] {
      return boost::format("get_prefetch_candidates(): considering %s (p=%.3f)") %
             popped.cursor.nodes.front()->name % popped.p;
    });
  if (popped.p >= expansion_threshold) {
    // The list lives in the tree, not in the queue, so pushing cannot move it.
    for (const auto& [id, q] : popped.cursor.current_predictions()) {
      PrefetchCandidate successor(popped.cursor, id, q * popped.p);
      successor.cursor.advance(id);
      queue.push(std::move(successor));
    }
  }
  return popped.id;
}

}  // namespace quarnix
