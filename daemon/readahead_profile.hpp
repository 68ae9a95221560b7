#pragma once

#include <string>

namespace quarnix {

// Loads and checks the read-ahead profile into the daemon's read-ahead
// state; a profile the daemon cannot use ends the program.
void load_readahead_profile(const std::string& path);

}  // namespace quarnix
