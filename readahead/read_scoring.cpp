#include "readahead/read_scoring.hpp"

#include <sstream>
#include <string>

#include "support/logging.hpp"

namespace quarnix::detail {

void log_no_predictions(const ScoringMessages& messages) {
  if (!messages.no_predictions.empty())
    debug_line(4, DebugStyle::tagged, [&] { return std::string(messages.no_predictions); });
}

void log_prediction(const ScoringMessages& messages, block_id_t predicted, double p,
                    block_id_t observed) {
  debug_line(4, DebugStyle::tagged, [&] {
    if (predicted == observed)
      return boost::format("%s: prediction of block %d (p=%.2f) was correct") % messages.caller %
             predicted % p;
    return boost::format("%s: prediction of block %d (p=%.2f) was not correct  (actual: %d)") %
           messages.caller % predicted % p % observed;
  });
}

void log_scored_block(const ScoringMessages& messages, block_id_t id, const ObservedBlocks& blocks,
                      const PredictionCursor& cursor) {
  debug_line(4, DebugStyle::tagged, [&] {
    return boost::format("%s: registered read of block %d (ino %d, blockno %d, hash %d)") %
           messages.caller % id % blocks.ino % id.block() % blocks.path_hash;
  });
  debug_line(5, DebugStyle::tagged, [&] {
    std::ostringstream text;
    text << messages.predictions_heading;
    for (const auto& [predicted, p] : cursor.current_predictions())
      text << "\n  id=" << predicted << ", p=" << p << " (blockno=" << predicted.block()
           << ", hash=" << predicted.hash() << ")";
    return text.str();
  });
}

}  // namespace quarnix::detail
