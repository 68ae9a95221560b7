#include "daemon/readahead_profile.hpp"

#include <err.h>

#include <cstdlib>

#include "daemon/daemon_state.hpp"
#include "profile/profile_file.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

void load_readahead_profile(const std::string& path) {
  // A profile is outside input: one that cannot be read ends the start with
  // its reason instead of an internal-error report.
  try {
    ProfileReader reader(path);
    if (reader.read_format() != profile_format)
      errx(6, "Readahead profile has unsupported format.");
    const ProfileSettings settings = reader.read_settings();
    if (settings.kernel) {
      log_error("Readahead profile not created from Quarnix read logs.");
      std::exit(7);
    }
    if (static_cast<uint64_t>(settings.block_size) != state.cache_blocksize)
      errx(7, "Readahead profile blocksize must match cache blocksize.");
    state.readahead.emplace();
    reader.read_tree(state.readahead->files, state.readahead->root);
  } catch (const RuntimeError& error) {
    errx(6, "ERROR: %s", error.what());
  }
  // Paths are opened relative to the tree the daemon serves; none may lead out of it.
  if (const auto unsafe = find_unsafe_profile_path(state.readahead->files))
    errx(6, "ERROR: Readahead profile names a path outside the tree: \"%s\"", unsafe->c_str());
  debug_line(3, DebugStyle::tagged, [&] {
    return boost::format("parse_options(): loaded readahead profile from %s") % path;
  });
}

}  // namespace quarnix
