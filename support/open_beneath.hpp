// Opening a relative path that must not lead out of the directory it starts
// from, whatever the tree holds: for paths that come from outside input.
#pragma once

#include <string>

#include "support/unique_fd.hpp"

namespace quarnix {

// Opens `path` relative to the directory `directory` as openat does with
// `flags`, but follows no symbolic link (with O_PATH | O_NOFOLLOW a trailing
// one is opened itself), lets no ".." climb above `directory` and crosses no
// mount point. Returns the descriptor, or an empty one with errno set (ELOOP
// for a symbolic link on the way, EXDEV for a way out).
UniqueFd open_beneath(int directory, const std::string& path, int flags);

}  // namespace quarnix
