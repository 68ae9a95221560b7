#include "support/stop_event.hpp"

#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

#include "support/errors.hpp"

namespace quarnix {

StopEvent::StopEvent() : event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!event) throw RuntimeError("eventfd()", errno);
}

void StopEvent::request() {
  const int saved_errno = errno;
  // Only a counter at its limit refuses the write, and that is a stop already.
  const uint64_t one = 1;
  ssize_t ignored = ::write(event.get(), &one, sizeof one);
  (void)ignored;
  errno = saved_errno;
}

}  // namespace quarnix
