#include "readahead/read_scoring.hpp"

#include <sstream>
#include <string>

#include "support/logging.hpp"

namespace quarnix::detail {

void log_no_predictions(const ScoringMessages& messages) {
  if (!messages.no_predictions.empty()) log_debug(2, std::string(messages.no_predictions));
}

void log_prediction(const ScoringMessages& messages, block_id_t predicted, double p,
                    block_id_t observed) {
  if (!log_enabled(4)) return;
  if (predicted == observed)
    log_debug(2, boost::format("%s: prediction of block %d (p=%.2f) was correct") %
                     messages.caller % predicted % p);
  else
    log_debug(2,
              boost::format("%s: prediction of block %d (p=%.2f) was not correct  (actual: %d)") %
                  messages.caller % predicted % p % observed);
}

void log_scored_block(const ScoringMessages& messages, block_id_t id, const ObservedBlocks& blocks,
                      const PredictionCursor& cursor) {
  if (!log_enabled(4)) return;
  log_debug(2, boost::format("%s: registered read of block %d (ino %d, blockno %d, hash %d)") %
                   messages.caller % id % blocks.ino % id.block() % blocks.path_hash);
  if (!log_enabled(5)) return;
  std::ostringstream text;
  text << messages.predictions_heading;
  for (const auto& [predicted, p] : cursor.current_predictions())
    text << "\n  id=" << predicted << ", p=" << p << " (blockno=" << predicted.block()
         << ", hash=" << predicted.hash() << ")";
  log_debug(3, text.str());
}

}  // namespace quarnix::detail
