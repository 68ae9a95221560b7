// A request to stop that a thread blocked in poll(2) on its own descriptor
// sees at once: the event's descriptor becomes readable and stays so.
#pragma once

#include <poll.h>

#include "support/unique_fd.hpp"

namespace quarnix {

class StopEvent {
 public:
  // Throws RuntimeError "eventfd()" with errno.
  StopEvent();

  // Safe in a signal handler and from any thread; a second request changes nothing.
  void request();
  // The entry to add to a poll set: POLLIN once a stop is requested.
  pollfd poll_entry() const { return {event.get(), POLLIN, 0}; }

 private:
  UniqueFd event;
};

}  // namespace quarnix
