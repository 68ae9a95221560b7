#include "daemon/daemon_state.hpp"

#include <err.h>
#include <sys/stat.h>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

DaemonState state;
double delay_reads = 0.0;

DaemonState::DaemonState() = default;

DaemonState::~DaemonState() = default;

UnknownInode::UnknownInode(fuse_ino_t ino) : message("Unknown inode " + std::to_string(ino)) {}

InodeRecord& get_inode(fuse_ino_t ino) {
  if (ino == FUSE_ROOT_ID) return state.root;
  // The record is looked at under the same lock that found it live: a forget
  // cannot free it in between.
  std::lock_guard lock(state.live_inodes_mutex);
  if (!state.live_inodes.count(ino)) throw UnknownInode(ino);
  auto& record = *reinterpret_cast<InodeRecord*>(ino);
  if (!record.fd) throw RuntimeError("INTERNAL ERROR: Unknown inode " + std::to_string(ino));
  return record;
}

// The kernel knows a record by its address.
static_assert(sizeof(InodeRecord*) <= sizeof(fuse_ino_t),
              "a record's address must fit a FUSE node id");

fuse_ino_t get_fuse_ino(const InodeRecord& record) {
  if (&record == &state.root) return FUSE_ROOT_ID;
  return reinterpret_cast<fuse_ino_t>(&record);
}

int get_fs_fd(fuse_ino_t ino) {
  return get_inode(ino).fd.get();
}

void destroy() {
  if (!state.cache) return;
  // The read-ahead thread has ended; the lock keeps the table still all the same.
  std::lock_guard lock(state.mutex);
  for (auto& [ino, record] : state.inodes) {
    if (record.nlookup == 0) continue;
    debug_line(5, DebugStyle::plain,
               [&] { return "DEBUG: destroy: cleaning up inode " + std::to_string(record.ino); });
    struct stat info {};
    if (::fstat(record.fd.get(), &info) != 0) warn("ERROR: destroy(): fstat failed");
    debug_line(5, DebugStyle::plain, [&] {
      return "DEBUG: Setting validation mtime for inode " + std::to_string(record.ino) + " to " +
             std::to_string(info.st_mtim.tv_sec) + "s + " + std::to_string(info.st_mtim.tv_nsec) +
             "ns.";
    });
    state.cache->set_mtime(record.ino, info);
  }
}

}  // namespace quarnix
