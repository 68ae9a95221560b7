#include "daemon/materialization_threads.hpp"

#include <mutex>

#include "daemon/after_inode_locks.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/guard.hpp"
#include "daemon/materialization_completion.hpp"
#include "daemon/materialization_request_path.hpp"
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
  // Completed operations log lines, and completed creates may fail.
  const AfterInodeLocks after_locks;
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

void handle_notification(const mat_notify& notify) {
  try {
    process_notification(notify);
  } catch (const RuntimeError& error) {
    report_runtime_error(error);
  } catch (...) {
    report_unhandled_exception("input_loop");
  }
}

void peer_gone() {
  request_channel().close();
  fail_parked_operations();
}

void end_of_input() {
  log_warning(
      "input_loop(): the materialization peer has gone: operations that need missing blocks "
      "fail with EIO");
  peer_gone();
}

}  // namespace

void fail_parked_operations() {
  const AfterInodeLocks after_locks;
  std::lock_guard state_lock(state.mutex);
  for (auto& [source_ino, inode] : state.inodes) {
    if (!inode.mat_record) continue;
    std::lock_guard inode_lock(inode.mutex);
    fail_parked_operations_of(inode);
  }
}

MaterializationThreads::MaterializationThreads(bool ondemand) {
  if (!ondemand) return;
  request_channel().start(RequestWriterHandlers{
      [paths = RequestPaths()](const BlockRequest& request) mutable { return paths.find(request); },
      [](const BlockRequest& request) { block_cannot_be_asked_for(request.ino, request.block); },
      // Nothing can complete the operations parked for blocks any more.
      fail_parked_operations});
  running = true;
  input.start(InputHandlers{handle_notification, end_of_input});
}

void MaterializationThreads::stop() {
  if (!running) return;
  running = false;
  input.stop();
  request_channel().stop();
  fail_parked_operations();
}

}  // namespace quarnix
