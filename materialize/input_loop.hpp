// The input-loop thread: reads the peer's notifications on standard input and
// hands each to the daemon, which completes the operations parked on the
// block it announces.
#pragma once

#include <functional>
#include <optional>
#include <thread>

#include "materialize/request_account.hpp"
#include "materialize/request_channel.hpp"
#include "support/stop_event.hpp"

namespace quarnix {

class NotificationReader;

// What a notification names, as the daemon finds it: a block of a placeholder
// that it took, or why it names none.
enum class NotificationFit { taken, unknown_type, no_placeholder, block_past_end };

// What the daemon does with the input. Both run on the input thread.
struct InputHandlers {
  // Takes a notification of a known type unless it names no block of a
  // placeholder; one that is `owed` (it answers a request written) is always
  // taken, also for a file that is no placeholder any more.
  std::function<NotificationFit(const mat_notify&, bool owed)> notification;
  // Whether a notification of a known type names a block of a placeholder;
  // it changes nothing.
  std::function<bool(const mat_notify&)> names_placeholder_block;
  // The input has ended (not on a stop): the peer has gone.
  std::function<void()> end_of_input;
};

class InputLoopThread {
 public:
  InputLoopThread() = default;
  ~InputLoopThread() { stop(); }
  InputLoopThread(const InputLoopThread&) = delete;
  InputLoopThread& operator=(const InputLoopThread&) = delete;

  // Starts reading standard input; `requests` tells answers from stray bytes.
  void start(InputHandlers handlers, RequestAccount& requests);
  // Ends and joins the thread, if it runs.
  void stop();

 private:
  std::optional<StopEvent> stop_event;
  std::thread thread;
};

// Body of the thread; returns at the end of the input or on a stop. A record
// that names no placeholder block is reported (once for each kind of fault):
// stray bytes from the peer may have shifted it and every later record, so the
// next record is the first that the reader's search finds to answer a request
// written.
void input_loop(NotificationReader& reader, RequestAccount& requests,
                const InputHandlers& handlers);

}  // namespace quarnix
