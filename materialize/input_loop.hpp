// The input-loop thread: reads the peer's notifications on standard input and
// hands each to the daemon, which completes the operations parked on the
// block it announces.
#pragma once

#include <functional>
#include <optional>
#include <thread>

#include "materialize/request_channel.hpp"
#include "support/stop_event.hpp"

namespace quarnix {

class NotificationReader;

// What the daemon does with the input. Both run on the input thread.
struct InputHandlers {
  std::function<void(const mat_notify&)> notification;
  // The input has ended (not on a stop): the peer has gone.
  std::function<void()> end_of_input;
};

class InputLoopThread {
 public:
  InputLoopThread() = default;
  ~InputLoopThread() { stop(); }
  InputLoopThread(const InputLoopThread&) = delete;
  InputLoopThread& operator=(const InputLoopThread&) = delete;

  // Starts reading standard input.
  void start(InputHandlers handlers);
  // Ends and joins the thread, if it runs.
  void stop();

 private:
  std::optional<StopEvent> stop_event;
  std::thread thread;
};

// Body of the thread; returns at the end of the input or on a stop.
void input_loop(NotificationReader& reader, const InputHandlers& handlers);

}  // namespace quarnix
