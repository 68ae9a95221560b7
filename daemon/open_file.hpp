// One open regular file of the mounted tree, kept in fuse_file_info::fh.
#pragma once

#include <cstdint>
#include <mutex>
#include <utility>

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>

#include "support/unique_fd.hpp"

namespace quarnix {

struct OpenFile {
  explicit OpenFile(UniqueFd source) : fd(std::move(source)) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;

  // Closes the source descriptor; 0 or the errno of close.
  int close() {
    buffered.reset();
    return fd.close();
  }

  // The descriptor that cache chunks are copied from: whole chunks at any
  // offset, which a descriptor opened with O_DIRECT cannot read.
  int cache_fd() const { return buffered ? buffered.get() : fd.get(); }

  UniqueFd fd;
  UniqueFd buffered;  // the file opened again without O_DIRECT, when `fd` has it
  // Held around replies and page-cache advice, also under the inode's mutex
  // by completed parked operations; taken by release. Nothing is locked
  // while it is held.
  std::mutex mutex;
};

inline OpenFile* get_open_file(const fuse_file_info* fi) {
  return fi ? reinterpret_cast<OpenFile*>(fi->fh) : nullptr;
}

}  // namespace quarnix
