#include "materialize/input_loop.hpp"

#include <sys/eventfd.h>
#include <unistd.h>

#include "materialize/notification_reader.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

void input_loop(NotificationReader& reader, const InputHandlers& handlers) {
  while (const std::optional<mat_notify> notify = reader.next())
    handlers.notification(*notify);
  if (reader.stopped()) return;
  debug_line(3, DebugStyle::program_named, "DEBUG: input_loop: stdin closed, returning.");
  handlers.end_of_input();
}

void InputLoopThread::start(InputHandlers handlers) {
  stop_event.reset(::eventfd(0, EFD_CLOEXEC));
  if (!stop_event) throw RuntimeError("eventfd()", errno);
  debug_line(3, DebugStyle::tagged, "Starting input loop..");
  thread = std::thread([fd = stop_event.get(), handlers = std::move(handlers)] {
    hold_back_session_signals();
    NotificationReader reader(STDIN_FILENO, fd);
    input_loop(reader, handlers);
  });
}

void InputLoopThread::stop() {
  if (!thread.joinable()) return;
  const uint64_t one = 1;
  ssize_t ignored = ::write(stop_event.get(), &one, sizeof one);
  (void)ignored;
  thread.join();
}

}  // namespace quarnix
