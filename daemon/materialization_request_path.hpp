// The path a request names: where the peer finds the file now, which renames
// and removals through the mount or beside it may have changed since the
// file was marked.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>

#include "materialize/request_channel.hpp"

namespace quarnix {

// The request writer's: it takes no lock of the daemon.
class RequestPaths {
 public:
  // Relative to the source root; nothing when the file has no name left in
  // the source tree.
  std::optional<std::string> find(const BlockRequest& request);

 private:
  // Names that a search of the tree found, by source inode number: a file
  // whose looked-up name is gone is asked for again under the one found.
  std::unordered_map<uint64_t, std::string> searched;
};

// A full path below the source root, relative to the root and without a
// leading "/".
std::string path_below_source(const std::string& full_path);

}  // namespace quarnix
