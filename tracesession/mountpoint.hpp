// The mounted tree that a tracing program watches: the check that the path is
// a mountpoint, and the map from inode numbers (the trace names files by them
// only) to paths.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <unordered_map>

namespace quarnix {

// Inode number of every regular file below a mountpoint to its path relative
// to the mountpoint; with hard links, the first path the walk met.
using ino2path_t = std::unordered_map<ino_t, std::string>;

// The mountpoint as the tracing programs take it from their command line:
// resolved (throwing as resolve_path does), with a trailing "/".
std::string resolve_mountpoint(const std::string& argument);

// The device number of a mountpoint. A path that is not an accessible
// directory on a filesystem of its own ends the process with status 2.
uint64_t check_mountpoint(const std::string& mountpoint);

// Walks the tree below `mountpoint` (given with a trailing "/", so that the
// paths have no leading one) without following symbolic links. Not reentrant.
// Throws RuntimeError when the walk fails. A request to end the program
// (termination_status) stops the walk: the map is then a part.
ino2path_t scan_mountpoint(const std::string& mountpoint);

}  // namespace quarnix
