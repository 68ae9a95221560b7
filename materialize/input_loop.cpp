#include "materialize/input_loop.hpp"

#include <unistd.h>

#include "materialize/notification_reader.hpp"
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
  stop_event.emplace();
  debug_line(3, DebugStyle::tagged, "Starting input loop..");
  thread = std::thread([&stop = *stop_event, handlers = std::move(handlers)] {
    hold_back_session_signals();
    NotificationReader reader(STDIN_FILENO, stop);
    input_loop(reader, handlers);
  });
}

void InputLoopThread::stop() {
  if (!thread.joinable()) return;
  stop_event->request();
  thread.join();
}

}  // namespace quarnix
