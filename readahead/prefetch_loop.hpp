// The prefetching thread's loop, shared by both programs: a pass takes the
// candidates of the cursor's position one by one and reads each block without
// the state's mutex, then the thread waits for the cursor to move.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>

#include "profile/block_id.hpp"
#include "readahead/prefetch_candidates.hpp"
#include "readahead/readahead_state.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

template <typename Handle>
struct PrefetchLoopActions {
  using state_type = abstract_readahead_state_t<Handle>;
  // Reads one block; called without the state's mutex.
  std::function<void(state_type*, block_id_t)> prefetch;
  // When set, a wait that lasts this long without a wake-up calls `idle`
  // with the mutex held and waits again; otherwise a wait lasts until woken.
  std::optional<std::chrono::milliseconds> idle_period;
  std::function<void(state_type*)> idle;
};

namespace detail {

// Must be tested under the mutex wherever the thread could otherwise go on to
// wait: a stop request made while it was reading would be lost.
template <typename Handle>
bool should_terminate(const abstract_readahead_state_t<Handle>& readahead) {
  if (!readahead.terminate) return false;
  debug_line(3, DebugStyle::tagged, "readahead_loop(): terminating.");
  return true;
}

// A failing prefetch costs its block, never the thread.
template <typename Handle>
void prefetch_safely(const PrefetchLoopActions<Handle>& actions,
                     abstract_readahead_state_t<Handle>* readahead, block_id_t id) {
  try {
    actions.prefetch(readahead, id);
  } catch (const std::exception& error) {
    log_warning(boost::format("readahead(%d): %s") % id % error.what());
  } catch (...) {
    log_warning(boost::format("readahead(%d): unknown exception") % id);
  }
}

enum class pass_end { exhausted, cursor_moved, terminated };

// One pass over the candidates of the current cursor state, with the lock
// held except while a block is read.
template <typename Handle>
pass_end prefetch_pass(abstract_readahead_state_t<Handle>* readahead,
                       std::unique_lock<std::mutex>& lock, std::uint64_t limit,
                       const PrefetchLoopActions<Handle>& actions) {
  // The list's address tells whether the observed reads moved the cursor.
  const auto* predictions = &readahead->cursor.current_predictions();
  candidate_queue queue = get_prefetch_candidates(readahead->cursor);
  for (std::uint64_t count = 0; count < limit; ++count) {
    if (should_terminate(*readahead)) return pass_end::terminated;
    block_id_t id;
    try {
      id = next_prefetch_candidate(queue);
    } catch (const iterator_end&) {
      return pass_end::exhausted;
    }
    lock.unlock();
    prefetch_safely(actions, readahead, id);
    lock.lock();
    readahead->prefetched.insert(id);
    if (&readahead->cursor.current_predictions() != predictions) {
      debug_line(4, DebugStyle::tagged,
                 "readahead_loop(): prediction tree changed, re-setting prefetch queue");
      return pass_end::cursor_moved;
    }
  }
  return pass_end::exhausted;
}

// Any wake-up ends the wait: the thread waits for a change of the cursor or
// for the stop flag, and the next pass finds out which. False when stopped.
template <typename Handle>
bool wait_for_change(abstract_readahead_state_t<Handle>* readahead,
                     std::unique_lock<std::mutex>& lock,
                     const PrefetchLoopActions<Handle>& actions) {
  if (should_terminate(*readahead)) return false;
  debug_line(4, DebugStyle::tagged, "readahead_loop(): waiting for state change...");
  if (!actions.idle_period) {
    readahead->cond.wait(lock);
    return !should_terminate(*readahead);
  }
  while (readahead->cond.wait_for(lock, *actions.idle_period) == std::cv_status::timeout) {
    if (should_terminate(*readahead)) return false;
    actions.idle(readahead);
  }
  return !should_terminate(*readahead);
}

}  // namespace detail

// Body of a prefetching thread: prefetches at most `limit` blocks per cursor
// state, then waits for the next change of the cursor. Returns once the
// state's request_stop() was called.
template <typename Handle>
void run_prefetch_loop(abstract_readahead_state_t<Handle>* readahead, std::uint64_t limit,
                       const PrefetchLoopActions<Handle>& actions) {
  debug_line(3, DebugStyle::tagged, "readahead_loop(): started");
  std::unique_lock lock(readahead->mutex);
  for (;;) {
    const detail::pass_end end = detail::prefetch_pass(readahead, lock, limit, actions);
    if (end == detail::pass_end::terminated) return;
    if (end == detail::pass_end::cursor_moved) continue;
    if (!detail::wait_for_change(readahead, lock, actions)) return;
  }
}

}  // namespace quarnix
