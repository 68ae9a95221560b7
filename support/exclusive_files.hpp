// Files that this process alone created: none of them existed before, not even
// as a symbolic link, so nothing planted under their names is ever written
// through or reused. Each is written through the descriptor its creation
// returned, never reopened by name.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "support/unique_fd.hpp"

namespace quarnix {

// Creates `path` for writing with O_CREAT | O_EXCL | O_NOFOLLOW; `mode` less the
// umask. Empty, with errno set, when the name cannot be created (EEXIST when
// any entry holds it).
UniqueFd create_exclusively(const std::string& path, mode_t mode);

struct NewFile {
  std::string suffix;  // appended to the base name
  mode_t mode;
};

struct ClaimedBaseName {
  std::string base;
  // One per requested file, in the order asked for; empty after a failure.
  std::vector<UniqueFd> files;
  // A file that could not be created for another reason than a taken name,
  // or (EEXIST) the taken name at which the wait ended: its name and the
  // errno value (0 when all went well).
  std::string failed_path;
  int error = 0;
};

// How long a claim waits for a free name.
struct NameWait {
  std::optional<std::chrono::steady_clock::duration> longest;  // none: until one is free
  std::function<bool()> ended;  // when set, asked between attempts: true ends the wait
};

// A base name `prefix` followed by the current UTC time ("%04d%02d%02d_%02d%02d%02d")
// under which this call created every file of `files`. A name that another
// program holds already, in one of its files or all, stays its own: the files
// created for it are removed again and the claim waits for the next second
// (with one INFO line naming the taken file), so that names keep the form
// their readers expect and nothing is overwritten. A wait that ends without a
// free name claims none: `error` is EEXIST, `failed_path` the name last found
// taken.
ClaimedBaseName claim_base_name(const std::string& prefix, const std::vector<NewFile>& files,
                                const NameWait& wait = {});

}  // namespace quarnix
