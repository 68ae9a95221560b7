#include "materialize/answer_ledger.hpp"

namespace quarnix {

void AnswerLedger::sent(uint64_t ino, uint64_t block) {
  std::lock_guard lock(mutex);
  ++owed[{ino, block}];
}

bool AnswerLedger::take(uint64_t ino, uint64_t block) {
  std::lock_guard lock(mutex);
  const auto found = owed.find({ino, block});
  if (found == owed.end()) return false;
  if (--found->second == 0) owed.erase(found);
  return true;
}

}  // namespace quarnix
