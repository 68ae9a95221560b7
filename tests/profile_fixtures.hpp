// A whole read-ahead profile read back in one piece, for the tests.
#pragma once

#include <string>

#include "profile/profile_file.hpp"

namespace quarnix::testing {

struct Profile {
  int format = 0;
  ProfileSettings settings;
  ProfilePaths paths;
  BlockNode root;
};

inline Profile read_profile(const std::string& path) {
  Profile profile;
  ProfileReader reader(path);
  profile.format = reader.read_format();
  profile.settings = reader.read_settings();
  reader.read_tree(profile.paths, profile.root);
  return profile;
}

}  // namespace quarnix::testing
