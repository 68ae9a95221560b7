#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <limits>
#include <memory>
#include <utility>

#include "daemon/operations.hpp"
#include "daemon/readahead_lookup.hpp"
#include "daemon/readahead_loop.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

using readahead_state = abstract_readahead_state_t<fuse_file_handle>;

// A lookup reference that is given back unless a handle takes it over.
class LookupReference {
 public:
  explicit LookupReference(InodeRecord* inode) : inode(inode) {}
  LookupReference(const LookupReference&) = delete;
  LookupReference& operator=(const LookupReference&) = delete;
  ~LookupReference() {
    if (inode) give_back_lookup(*inode);
  }
  InodeRecord* release() { return std::exchange(inode, nullptr); }

 private:
  InodeRecord* inode;
};

// The cached handle of the block's file, or a new one opened and cached; none
// (after a warning) when the file cannot be found or opened.
fuse_file_handle* find_or_open_handle(readahead_state& readahead, block_id_t id) {
  if (auto cached = readahead.handles.get(id.hash())) return &*cached;

  const std::string* path = find_path_by_hash(readahead, id);
  if (!path) return nullptr;
  InodeRecord* inode = nullptr;
  mode_t type = 0;
  if (const int error = lookup_path(*path, &inode, &type); error != 0) {
    log_warning(boost::format("readahead(%d): lookup(%s): %s") % id % *path % errno_string(error));
    return nullptr;
  }
  LookupReference reference(inode);
  // Opening a FIFO or a device could block the thread, or start what a device
  // does when it is opened; the open reaches the very inode that was looked up.
  if (!S_ISREG(type)) {
    log_warning(boost::format("readahead(%d): %s is not a regular file") % id % *path);
    return nullptr;
  }
  auto fi = std::make_unique<fuse_file_info>();
  fi->flags = O_RDONLY;
  if (const int error = quarnix::open(nullptr, get_fuse_ino(*inode), fi.get()); error != 0) {
    log_warning(boost::format("readahead(%d): open(%s): %s") % id % *path % errno_string(error));
    return nullptr;
  }
  readahead.handles.put(id.hash(), fuse_file_handle(reference.release(), std::move(fi)));
  auto cached = readahead.handles.get(id.hash());
  return cached ? &*cached : nullptr;
}

}  // namespace

void prefetch_block(readahead_state* readahead, block_id_t id) {
  debug_line(4, DebugStyle::tagged,
             [&] { return boost::format("prefetch_block: processing %d") % id; });
  const std::uint64_t block_size = state.cache_blocksize;
  // The read's offset is signed 64-bit; a block past it cannot be read.
  if (block_size != 0 &&
      id.block() > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max()) / block_size) {
    log_warning(boost::format("readahead(%d): block %d lies beyond the largest file offset") % id %
                id.block());
    return;
  }
  fuse_file_handle* handle = find_or_open_handle(*readahead, id);
  if (!handle) return;
  const auto offset = static_cast<off_t>(std::uint64_t{id.block()} * block_size);
  const int error =
      quarnix::read(nullptr, get_fuse_ino(*handle->inode), block_size, offset, handle->fi.get());
  if (error == EAGAIN) {
    // Its blocks are still being materialized; the next read of it will find them.
    debug_line(4, DebugStyle::tagged, [&] {
      return boost::format("prefetch_block: block %d is not materialized yet, skipped") % id;
    });
    return;
  }
  if (error != 0) {
    log_warning(boost::format("readahead(%d): read(): %s") % id % errno_string(error));
    return;
  }
  debug_line(4, DebugStyle::tagged,
             [&] { return boost::format("prefetch_block: done with block %d") % id; });
}

}  // namespace quarnix
