// The input-loop thread: reads the peer's notifications on standard input
// and completes the operations parked on the blocks they announce.
#pragma once

#include <thread>

#include "support/unique_fd.hpp"

namespace quarnix {

class NotificationReader;

class InputLoopThread {
 public:
  // Starts the thread when on-demand materialization is on.
  explicit InputLoopThread(bool ondemand);
  ~InputLoopThread() { stop(); }
  InputLoopThread(const InputLoopThread&) = delete;
  InputLoopThread& operator=(const InputLoopThread&) = delete;

  // Ends and joins the thread; operations still parked are answered with
  // EIO, since nothing can complete them any more. Must run while the FUSE
  // session still exists.
  void stop();

 private:
  UniqueFd stop_event;
  std::thread thread;
};

// Body of the thread; returns at the end of the input or on a stop.
void input_loop(NotificationReader& reader);

// Answers every parked operation with EIO.
void fail_parked_operations();

}  // namespace quarnix
