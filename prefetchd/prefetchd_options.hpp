// The command line of quarnix_prefetchd.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quarnix::prefetchd {

struct PrefetchdOptions {
  std::string profile;
  std::string mountpoint;  // resolved, with a trailing "/"
  std::uint64_t max_blocks = 50;
  std::optional<std::string> testdata;
};

std::string usage(const char* argv0);

// Sets the log level; ends the process for --help (0) and a bad command line (2).
PrefetchdOptions parse_options(int argc, char** argv);

}  // namespace quarnix::prefetchd
