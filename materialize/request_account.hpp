// The one account of what the peer is asked for, by source inode and download
// block: requests queued and not yet written, and requests written and not yet
// answered. Operations that must not race a write of the peer (size changes,
// writes) wait while a request of a block they touch is in either state; the
// input loop tells an answer from stray bytes by a request written.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace quarnix {

class RequestAccount {
 public:
  // An operation queued a request for `block` of `ino`.
  void queued(uint64_t ino, uint64_t block);
  // A queued request is about to be written: its answer may come before the
  // write returns.
  void written(uint64_t ino, uint64_t block);
  // A queued request will never be written.
  void dropped(uint64_t ino, uint64_t block);
  // A notification names `block` of `ino`: true, and one answer fewer owed,
  // when it answers a request written. A notification that comes before its
  // request was written answers none: the request still goes out and is
  // answered in turn.
  bool answer(uint64_t ino, uint64_t block);
  // Whether a notification of `block` of `ino` would answer a request written.
  bool awaits_answer(uint64_t ino, uint64_t block) const;
  // Whether a request of a block of `ino` from `first` to `last` is queued or
  // unanswered, and still waited for.
  bool owed_between(uint64_t ino, uint64_t first, uint64_t last) const;
  bool owed_from(uint64_t ino, uint64_t first) const {
    return owed_between(ino, first, UINT64_MAX);
  }
  // Nothing waits any more for the answers `ino` is owed (the file has no name
  // the peer could find it by): they are still taken as answers when they come.
  void forgive(uint64_t ino);
  // The peer has gone: nothing is owed.
  void clear();

 private:
  struct Requests {
    uint32_t queued = 0;
    uint32_t written = 0;
    uint32_t forgiven = 0;
  };
  using Key = std::pair<uint64_t, uint64_t>;  // source inode, block
  void erase_if_empty(std::map<Key, Requests>::iterator entry);

  // Innermost: taken under the request channel's mutex and any lock of the
  // daemon; nothing is locked under it.
  mutable std::mutex mutex;
  std::map<Key, Requests> requests;
};

}  // namespace quarnix
