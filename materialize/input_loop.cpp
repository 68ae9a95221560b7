#include "materialize/input_loop.hpp"

#include <unistd.h>

#include <set>

#include "materialize/notification_reader.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

const char* fault_of(NotificationFit fit) {
  switch (fit) {
    case NotificationFit::unknown_type:
      return "has a type other than 0 and 1";
    case NotificationFit::no_placeholder:
      return "names an inode that is no placeholder";
    default:
      return "names a block past the end of its file";
  }
}

// One line for each kind of fault: a peer out of step would write one for
// every record it sends.
void report_fault(NotificationFit fit, const mat_notify& notify,
                  std::set<NotificationFit>& reported) {
  if (!reported.insert(fit).second) return;
  log_error(boost::format("input_loop(): notification of type %d for inode %d, block %d %s: its "
                          "bytes are skipped until a notification answers a request") %
            notify.type % notify.ino % notify.block % fault_of(fit));
}

}  // namespace

void input_loop(NotificationReader& reader, RequestAccount& requests,
                const InputHandlers& handlers) {
  std::set<NotificationFit> reported;
  const RecordClassifier classify = [&](const mat_notify& notify) {
    if (!known_request_type(notify.type)) return RecordKind::stray;
    if (requests.awaits_answer(notify.ino, notify.block)) return RecordKind::answer;
    return handlers.names_placeholder_block(notify) ? RecordKind::notification : RecordKind::stray;
  };
  while (const std::optional<mat_notify> notify = reader.next(classify)) {
    const bool known = known_request_type(notify->type);
    const bool owed = known && requests.answer(notify->ino, notify->block);
    debug_line(3, DebugStyle::plain, [&] {
      return "DEBUG: input_loop(): received mat_notify for inode " + std::to_string(notify->ino) +
             ", blockno " + std::to_string(notify->block);
    });
    const NotificationFit fit =
        known ? handlers.notification(*notify, owed) : NotificationFit::unknown_type;
    if (fit == NotificationFit::taken) continue;
    report_fault(fit, *notify, reported);
    reader.lose_boundary();
  }
  if (reader.stopped()) return;
  debug_line(3, DebugStyle::program_named, "DEBUG: input_loop: stdin closed, returning.");
  handlers.end_of_input();
}

void InputLoopThread::start(InputHandlers handlers, RequestAccount& requests) {
  stop_event.emplace();
  debug_line(3, DebugStyle::tagged, "Starting input loop..");
  thread = std::thread([&stop = *stop_event, &requests, handlers = std::move(handlers)] {
    hold_back_session_signals();
    NotificationReader reader(STDIN_FILENO, stop);
    input_loop(reader, requests, handlers);
  });
}

void InputLoopThread::stop() {
  if (!thread.joinable()) return;
  stop_event->request();
  thread.join();
}

}  // namespace quarnix
