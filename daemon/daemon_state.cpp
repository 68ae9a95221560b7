#include "daemon/daemon_state.hpp"

#include <err.h>
#include <sys/stat.h>

#include <iostream>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

DaemonState state;
double delay_reads = 0.0;

InodeRecord::~InodeRecord() {
  // Descriptor 0 is standard input, never one of ours.
  if (fd > 0) ::close(fd);
}

DaemonState::DaemonState() = default;

DaemonState::~DaemonState() = default;

UnknownInode::UnknownInode(fuse_ino_t ino) : message("Unknown inode " + std::to_string(ino)) {}

InodeRecord& get_inode(fuse_ino_t ino) {
  if (ino == FUSE_ROOT_ID) return state.root;
  {
    std::lock_guard lock(state.live_inodes_mutex);
    if (!state.live_inodes.count(ino)) throw UnknownInode(ino);
  }
  auto& record = *reinterpret_cast<InodeRecord*>(ino);
  if (record.fd == -1) throw RuntimeError("INTERNAL ERROR: Unknown inode " + std::to_string(ino));
  return record;
}

fuse_ino_t get_fuse_ino(const InodeRecord& record) {
  if (&record == &state.root) return FUSE_ROOT_ID;
  return reinterpret_cast<fuse_ino_t>(&record);
}

int get_fs_fd(fuse_ino_t ino) {
  return get_inode(ino).fd;
}

void destroy() {}

}  // namespace quarnix
