// Inodes for the prefetching: a profile path looked up from the tree root
// through the daemon's own lookup, and the lookup reference given back.
#pragma once

#include <sys/types.h>

#include <string>

namespace quarnix {

struct InodeRecord;

// Looks the whole relative path (it may hold "/") up beneath the source root,
// following no symbolic link and crossing no mount point: the profile is
// outside input, and the tree may change under it. Returns 0 and stores the
// inode, whose lookup count it raised by one for the caller, and its file
// type; or returns the errno value of the failure (ELOOP for a symbolic link
// on the way, EXDEV for a way out of the tree). Logs nothing.
int lookup_path(const std::string& path, InodeRecord** inode, mode_t* type);

// Gives back one lookup reference of `inode`. For destructors: a failure is
// logged, never thrown.
void give_back_lookup(InodeRecord& inode) noexcept;

}  // namespace quarnix
