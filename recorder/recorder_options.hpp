// The command line of quarnix_recorder.
#pragma once

#include <optional>
#include <string>

namespace quarnix::recorder {

struct RecorderOptions {
  std::string mountpoint;  // resolved, with a trailing "/"
  std::optional<int> excluded_pid;
  bool keep_raw = false;
};

std::string usage(const char* argv0);

// Sets the log level; ends the process for --help (0) and a bad command line (2).
RecorderOptions parse_options(int argc, char** argv);

}  // namespace quarnix::recorder
