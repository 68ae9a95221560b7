// A create that found a placeholder and was parked holds the lookup its reply
// would hand to the kernel. When it fails instead, the lookup goes back
// through do_forget, so that an inode the kernel never learnt of leaves the
// inode table. do_forget takes the state mutex and the inode's, which the code
// that answers parked operations holds: the lookups are collected on the
// thread and given back when its outermost LookupsGivenBack ends. Declared
// before those locks, it ends after they are released.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <vector>

namespace quarnix {

class LookupsGivenBack {
 public:
  LookupsGivenBack();
  ~LookupsGivenBack();
  LookupsGivenBack(const LookupsGivenBack&) = delete;
  LookupsGivenBack& operator=(const LookupsGivenBack&) = delete;

  // One lookup of `ino`, given back when the thread's outermost scope ends.
  static void add(fuse_ino_t ino);

 private:
  bool outermost;
  std::vector<fuse_ino_t> inodes;
};

}  // namespace quarnix
