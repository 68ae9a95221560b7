#include "materialize/input_loop.hpp"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/stat.h>

#include <mutex>

#include "daemon/guard.hpp"
#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/reply.hpp"
#include "materialize/completion.hpp"
#include "materialize/lookups_given_back.hpp"
#include "materialize/notification_reader.hpp"
#include "materialize/request_channel.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

void process_notification(const mat_notify& notify) {
  debug_line(3, DebugStyle::plain, [&] {
    return "DEBUG: input_loop(): received mat_notify for inode " + std::to_string(notify.ino) +
           ", blockno " + std::to_string(notify.block);
  });
  // Completed creates may fail.
  const LookupsGivenBack given_back;
  std::unique_lock state_lock(state.mutex);
  const auto found_record = state.mat_records.find(notify.ino);
  const auto found_inode = state.inodes.find(notify.ino);
  if (found_record == state.mat_records.end() || found_inode == state.inodes.end() ||
      found_inode->second.mat_record != &found_record->second) {
    debug_line(3, DebugStyle::plain, "DEBUG: input_loop(): inode no longer exists");
    // The peer wrote a block of a file no inode holds at the moment (an
    // earlier request's). Should the record no longer be the file's, the next
    // lookup drops it all the same.
    if (found_record != state.mat_records.end()) found_record->second.mark_present(notify.block);
    return;
  }
  // Taken before the state mutex goes, so that the inode cannot be erased in between.
  std::lock_guard inode_lock(found_inode->second.mutex);
  state_lock.unlock();
  if (!found_record->second.mark_present(notify.block)) {
    log_warning(boost::format("input_loop(): block %d of inode %d lies past the end of the file, "
                              "notification ignored") %
                notify.block % notify.ino);
    return;
  }
  complete_ready_operations(found_inode->second, &notify);
}

void end_of_input() {
  debug_line(3, DebugStyle::program_named, "DEBUG: input_loop: stdin closed, returning.");
  log_warning(
      "input_loop(): the materialization peer has gone: operations that need missing blocks "
      "fail with EIO");
  request_channel().close();
  fail_parked_operations();
}

}  // namespace

void input_loop(NotificationReader& reader) {
  while (const std::optional<mat_notify> notify = reader.next()) {
    try {
      process_notification(*notify);
    } catch (const RuntimeError& error) {
      report_runtime_error(error);
    } catch (...) {
      report_unhandled_exception("input_loop");
    }
  }
  if (!reader.stopped()) end_of_input();
}

void fail_parked_operations() {
  const LookupsGivenBack given_back;
  std::lock_guard state_lock(state.mutex);
  for (auto& [source_ino, inode] : state.inodes) {
    if (!inode.mat_record) continue;
    std::lock_guard inode_lock(inode.mutex);
    fail_parked_operations_of(inode);
  }
}

InputLoopThread::InputLoopThread(bool ondemand) {
  if (!ondemand) return;
  stop_event.reset(::eventfd(0, EFD_CLOEXEC));
  if (!stop_event) throw RuntimeError("eventfd()", errno);
  debug_line(3, DebugStyle::tagged, "Starting input loop..");
  request_channel().start();
  thread = std::thread([fd = stop_event.get()] {
    hold_back_session_signals();
    NotificationReader reader(STDIN_FILENO, fd);
    input_loop(reader);
  });
}

void InputLoopThread::stop() {
  if (!thread.joinable()) return;
  const uint64_t one = 1;
  ssize_t ignored = ::write(stop_event.get(), &one, sizeof one);
  (void)ignored;
  thread.join();
  request_channel().stop();
  fail_parked_operations();
}

}  // namespace quarnix
