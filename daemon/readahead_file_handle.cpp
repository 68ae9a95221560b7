#include "daemon/readahead_file_handle.hpp"

#include <exception>
#include <utility>

#include "daemon/operations.hpp"
#include "daemon/readahead_lookup.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

fuse_file_handle::fuse_file_handle(InodeRecord* inode, std::unique_ptr<fuse_file_info> fi)
    : inode(inode), fi(std::move(fi)) {}

fuse_file_handle::fuse_file_handle(fuse_file_handle&& other) noexcept
    : inode(other.inode), fi(std::move(other.fi)) {}

fuse_file_handle::~fuse_file_handle() {
  if (!fi) return;
  try {
    const int result = quarnix::release(nullptr, get_fuse_ino(*inode), fi.get());
    if (result != 0)
      log_warning(boost::format("~fuse_file_handle: release() failed with: %s") %
                  errno_string(result));
  } catch (const std::exception& error) {
    log_warning(boost::format("~fuse_file_handle: release() failed with: %s") % error.what());
  }
  // Also after a failed release: the inode must not stay looked up for ever.
  give_back_lookup(*inode);
}

}  // namespace quarnix
