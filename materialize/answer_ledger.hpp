// The answers the peer still owes: one for each request written to it and
// not yet answered by a notification of the same inode and block. Unlike the
// counts of a placeholder's record, which stop waiting when nothing can
// complete the file any more, an entry leaves only with its answer: the input
// loop tells by it a late answer from bytes that name no request.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace quarnix {

class AnswerLedger {
 public:
  // A request for `block` of source inode `ino` is about to be written.
  void sent(uint64_t ino, uint64_t block);
  // A notification names `block` of `ino`: true, and one answer fewer owed,
  // when one was owed.
  bool take(uint64_t ino, uint64_t block);

 private:
  std::mutex mutex;  // the writer adds, the input thread takes
  std::map<std::pair<uint64_t, uint64_t>, uint32_t> owed;
};

}  // namespace quarnix
