// quarnix_prefetchd: follows the read trace of a mounted tree and prefetches
// the blocks that a kernel-trace profile predicts.
#pragma once

namespace quarnix::prefetchd {

// The whole program run; its result is the exit status.
int run_prefetch_daemon(int argc, char** argv);

}  // namespace quarnix::prefetchd
