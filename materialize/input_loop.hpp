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

// What a notification names, as the daemon finds it: a block of a placeholder
// that it took, or why it names none.
enum class NotificationFit { taken, unknown_type, no_placeholder, block_past_end, unrequested };

// What the daemon does with the input. Both run on the input thread.
struct InputHandlers {
  // Takes the notification unless it names no block of a placeholder. While
  // `resynchronizing` (the input has lost its record boundary) it takes only
  // one that answers a request still outstanding, and else tells `unrequested`.
  std::function<NotificationFit(const mat_notify&, bool resynchronizing)> notification;
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

// Body of the thread; returns at the end of the input or on a stop. A record
// that names no placeholder block is reported (once for each kind of fault),
// and the records after it are looked for one byte further on each time, until
// one answers a request: stray bytes from the peer shift every later record.
void input_loop(NotificationReader& reader, const InputHandlers& handlers);

}  // namespace quarnix
