// What the code that completes or fails parked operations must not do under
// the state mutex or an inode's mutex, which it holds, done on the same thread
// once they are released: when the thread's outermost AfterInodeLocks ends.
// Declared before those locks, it ends after they are released.
//
// - A create that found a placeholder and was parked holds the lookup its
//   reply would hand to the kernel. When it fails instead, the lookup goes
//   back through do_forget, so that an inode the kernel never learnt of
//   leaves the inode table; do_forget takes the state mutex and the inode's.
// - The operations-log lines of completed operations ("getattr" after a size
//   change, "create"): the log's mutex is taken with no other lock held.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <vector>

#include "daemon/operations_log.hpp"

namespace quarnix {

class AfterInodeLocks {
 public:
  AfterInodeLocks();
  ~AfterInodeLocks();
  AfterInodeLocks(const AfterInodeLocks&) = delete;
  AfterInodeLocks& operator=(const AfterInodeLocks&) = delete;

  // One lookup of `ino`, given back when the thread's outermost scope ends.
  static void give_back_lookup(fuse_ino_t ino);

 private:
  // Written last, after the lookups are given back.
  OperationsLog::Deferral log_lines;
  bool outermost;
  std::vector<fuse_ino_t> inodes;
};

}  // namespace quarnix
