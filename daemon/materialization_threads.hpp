// The threads of on-demand materialization as the daemon runs them: the
// request writer, which finds where the peer sees each file, and the input
// loop, whose notifications complete the operations parked on their blocks.
#pragma once

#include "materialize/input_loop.hpp"

namespace quarnix {

class MaterializationThreads {
 public:
  // Starts both threads when on-demand materialization is on.
  explicit MaterializationThreads(bool ondemand);
  ~MaterializationThreads() { stop(); }
  MaterializationThreads(const MaterializationThreads&) = delete;
  MaterializationThreads& operator=(const MaterializationThreads&) = delete;

  // Ends and joins both threads; operations still parked are answered with
  // EIO, since nothing can complete them any more. Must run while the FUSE
  // session still exists.
  void stop();

 private:
  bool running = false;
  InputLoopThread input;
};

// Answers every parked operation with EIO.
void fail_parked_operations();

}  // namespace quarnix
