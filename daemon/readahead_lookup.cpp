#include "daemon/readahead_lookup.hpp"

#include <sys/stat.h>

#include <exception>

#include "daemon/operations.hpp"
#include "support/logging.hpp"

namespace quarnix {

int lookup_path(const std::string& path, InodeRecord** inode, mode_t* type) {
  fuse_entry_param entry{};
  const int result = do_lookup(FUSE_ROOT_ID, path.c_str(), &entry, /*confined=*/true);
  if (result != 0) return result;
  *inode = &get_inode(entry.ino);
  *type = entry.attr.st_mode & S_IFMT;
  return 0;
}

void give_back_lookup(InodeRecord& inode) noexcept {
  try {
    do_forget(get_fuse_ino(inode), 1);
  } catch (const std::exception& error) {
    try {
      log_warning(boost::format("give_back_lookup(): do_forget() failed with: %s") % error.what());
    } catch (...) {
      // Nothing is left to report it with.
    }
  }
}

}  // namespace quarnix
