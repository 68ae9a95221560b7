// Starts quarnix_probe in place of the calling process (a freshly forked child).
#pragma once

#include <cstdint>

namespace quarnix {

// Replaces the process with quarnix_probe tracing `device`, ignoring the reads
// of `excluded_pid`, with its standard output on `output_fd`. The probe beside
// the program is taken when `argv0` names a directory, else the one in PATH.
// Ends the process with status 7 when no probe can be executed; throws
// RuntimeError when the descriptors cannot be arranged.
[[noreturn]] void exec_tracer(const char* argv0, int output_fd, uint64_t device, int excluded_pid);

}  // namespace quarnix
