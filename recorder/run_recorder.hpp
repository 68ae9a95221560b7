// quarnix_recorder: records one kernel read trace of a mounted tree and writes
// it as a read log.
#pragma once

namespace quarnix::recorder {

// The whole program run; its result is the exit status.
int run_recorder(int argc, char** argv);

}  // namespace quarnix::recorder
