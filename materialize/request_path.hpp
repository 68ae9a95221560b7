// The path a request names: where the peer finds the file now, which renames
// and removals through the mount or beside it may have changed since the
// file was marked.
#pragma once

#include <optional>
#include <string>

#include "daemon/inode_record.hpp"

namespace quarnix {

// For an inode with a linked record, its mutex held. Nothing when the file
// has no name left in the source tree.
std::optional<std::string> request_path(InodeRecord& inode);

// A full path below the source root, relative to the root and without a
// leading "/".
std::string path_below_source(const std::string& full_path);

}  // namespace quarnix
