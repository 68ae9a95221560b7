// Inodes for the prefetching: a profile path looked up from the tree root
// through the daemon's own lookup, and the lookup reference given back.
#pragma once

#include <string>

namespace quarnix {

struct InodeRecord;

// Looks the whole relative path (it may hold "/") up under the root. Returns
// 0 and stores the inode, whose lookup count it raised by one for the caller,
// or returns the lookup's errno value. Logs nothing.
int lookup_path(const std::string& path, InodeRecord** inode);

// Gives back one lookup reference of `inode`. For destructors: a failure is
// logged, never thrown.
void give_back_lookup(InodeRecord& inode) noexcept;

}  // namespace quarnix
