// Writes into source files that end whole or with an error, never short.
#pragma once

#include <sys/types.h>

#include "daemon/daemon_state.hpp"

namespace quarnix {

struct OpenFile;

// Writes every byte of `in` at `off` into the source file of `file`: `size`,
// or a negative errno. A write the source takes only in part is carried on
// until it is complete or fails, because the kernel's writeback cache takes a
// short reply as complete and the rest would be lost without a word. A write
// the source refuses with O_DIRECT (EINVAL) goes through the file's buffered
// companion descriptor.
ssize_t write_to_source(const OpenFile& file, fuse_bufvec* in, off_t off, size_t size);

}  // namespace quarnix
