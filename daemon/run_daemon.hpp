#pragma once

namespace quarnix {

// The whole life of the daemon; the result is the exit status.
int run_daemon(int argc, char** argv);

}  // namespace quarnix
