// The exit statuses that the tracing programs share, besides 0, 2 for a bad
// command line or mountpoint and 128 + the signal that asked them to end.
#pragma once

namespace quarnix {

// A file the program needs cannot be had: its lock file's name is taken, no
// name for the recorder's outputs came free within its wait, or the prefetch
// daemon cannot open its profile, its test trace or a pipe.
inline constexpr int exit_file_unavailable = 3;

// The tracer failed: it exited with a non-zero code (7 when quarnix_probe
// could not be executed), or a fault killed it.
inline constexpr int exit_tracer_failed = 9;

}  // namespace quarnix
