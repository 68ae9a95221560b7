// The trainer's driver: read logs in, profile and prefetch histogram out.
#pragma once

namespace quarnix::trainer {

// The whole program; returns its exit status.
int run_trainer(int argc, char** argv);

}  // namespace quarnix::trainer
