#include "daemon/materialization_threads.hpp"

#include <mutex>

#include "daemon/after_inode_locks.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/guard.hpp"
#include "daemon/materialization_account.hpp"
#include "daemon/materialization_completion.hpp"
#include "daemon/materialization_request_path.hpp"
#include "materialize/request_channel.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// Whether the record has room for the block; an answer owed for a block it
// no longer has (the file was cut since) is taken all the same.
NotificationFit fit_of(const MaterializationRecord& record, const mat_notify& notify, bool owed) {
  if (notify.block < record.materialized.size() || owed) return NotificationFit::taken;
  return NotificationFit::block_past_end;
}

NotificationFit process_notification(const mat_notify& notify, bool owed) {
  // Completed operations log lines, and completed creates may fail.
  const AfterInodeLocks after_locks;
  std::unique_lock state_lock(state.mutex);
  const auto found_record = state.mat_records.find(notify.ino);
  if (found_record == state.mat_records.end()) {
    if (!owed) return NotificationFit::no_placeholder;
    debug_line(3, DebugStyle::plain, "DEBUG: input_loop(): inode no longer exists");
    return NotificationFit::taken;
  }
  MaterializationRecord& record = found_record->second;
  const auto found_inode = state.inodes.find(notify.ino);
  if (found_inode == state.inodes.end() || found_inode->second.mat_record != &record) {
    const NotificationFit fit = fit_of(record, notify, owed);
    if (fit != NotificationFit::taken) return fit;
    debug_line(3, DebugStyle::plain, "DEBUG: input_loop(): inode no longer exists");
    // The peer wrote a block of a file no inode holds at the moment (an
    // earlier request's). Should the record no longer be the file's, the next
    // lookup drops it all the same.
    record.mark_present(notify.block);
    if (settled(notify.ino, record)) state.mat_records.erase(found_record);
    return fit;
  }
  // Taken before the state mutex goes, so that the inode cannot be erased in between.
  std::lock_guard inode_lock(found_inode->second.mutex);
  state_lock.unlock();
  const NotificationFit fit = fit_of(record, notify, owed);
  if (fit != NotificationFit::taken) return fit;
  record.mark_present(notify.block);
  complete_ready_operations(found_inode->second, &notify);
  return fit;
}

bool names_placeholder_block(const mat_notify& notify) {
  std::unique_lock state_lock(state.mutex);
  const auto found_record = state.mat_records.find(notify.ino);
  if (found_record == state.mat_records.end()) return false;
  const auto found_inode = state.inodes.find(notify.ino);
  std::unique_lock<std::mutex> inode_lock;
  // A linked record's bits change under its inode's mutex.
  if (found_inode != state.inodes.end() && found_inode->second.mat_record == &found_record->second)
    inode_lock = std::unique_lock(found_inode->second.mutex);
  return notify.block < found_record->second.materialized.size();
}

NotificationFit handle_notification(const mat_notify& notify, bool owed) {
  try {
    return process_notification(notify, owed);
  } catch (const RuntimeError& error) {
    report_runtime_error(error);
  } catch (...) {
    report_unhandled_exception("input_loop");
  }
  // The record was whole: what went wrong lies past it.
  return NotificationFit::taken;
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
  // Nothing is owed once the channel has closed: records no inode holds and
  // that are complete go, as a forget would have dropped them.
  for (auto record = state.mat_records.begin(); record != state.mat_records.end();) {
    const auto inode = state.inodes.find(record->first);
    if (inode != state.inodes.end() && inode->second.mat_record == &record->second) {
      ++record;
      continue;
    }
    record = settled(record->first, record->second) ? state.mat_records.erase(record)
                                                    : std::next(record);
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
  input.start(InputHandlers{handle_notification, names_placeholder_block, end_of_input},
              request_channel().account());
}

void MaterializationThreads::stop() {
  if (!running) return;
  running = false;
  input.stop();
  request_channel().stop();
  fail_parked_operations();
}

}  // namespace quarnix
