#include "daemon/after_inode_locks.hpp"

#include "daemon/daemon_state.hpp"
#include "daemon/guard.hpp"
#include "daemon/operations.hpp"
#include "support/errors.hpp"

namespace quarnix {

namespace {

thread_local AfterInodeLocks* current = nullptr;

}  // namespace

AfterInodeLocks::AfterInodeLocks() : log_lines(state.oplog), outermost(current == nullptr) {
  if (outermost) current = this;
}

AfterInodeLocks::~AfterInodeLocks() {
  if (!outermost) return;
  current = nullptr;
  for (const fuse_ino_t ino : inodes) {
    try {
      do_forget(ino, 1);
    } catch (const UnknownInode& unknown) {
      report_unknown_inode("forget", unknown);
    } catch (const RuntimeError& error) {
      report_runtime_error(error);
    } catch (...) {
      report_unhandled_exception("forget");
    }
  }
}

void AfterInodeLocks::give_back_lookup(fuse_ino_t ino) {
  if (!current)
    throw RuntimeError("INTERNAL ERROR: a lookup of inode " + std::to_string(ino) +
                       " to give back with no scope to give it back in");
  current->inodes.push_back(ino);
}

}  // namespace quarnix
