// The daemon's prefetching handle: a file opened through the daemon's own
// open handler, holding one lookup reference on its inode.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include <memory>

namespace quarnix {

struct InodeRecord;

// Move-only. A moved-from handle holds nothing and does nothing when destroyed.
struct fuse_file_handle {
  // Takes over the lookup reference on `inode` and the file that `open` put
  // into `fi`.
  fuse_file_handle(InodeRecord* inode, std::unique_ptr<fuse_file_info> fi);
  fuse_file_handle(fuse_file_handle&& other) noexcept;
  fuse_file_handle& operator=(fuse_file_handle&&) = delete;
  fuse_file_handle(const fuse_file_handle&) = delete;
  fuse_file_handle& operator=(const fuse_file_handle&) = delete;
  // Releases the file and gives back the lookup reference; failures are
  // logged, never thrown.
  ~fuse_file_handle();

  InodeRecord* inode;
  std::unique_ptr<fuse_file_info> fi;
};

}  // namespace quarnix
