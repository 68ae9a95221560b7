// quarnix_probe: replaces itself with bpftrace running the read-trace script
// for one mounted FUSE filesystem.
#pragma once

namespace quarnix::probe {

// Ends in the exec of bpftrace or in an exit.
[[noreturn]] void run_tracer(int argc, char** argv);

}  // namespace quarnix::probe
