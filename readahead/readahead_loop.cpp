#include "readahead/readahead_loop.hpp"

#include <exception>
#include <mutex>

#include "readahead/prefetch_candidates.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

prefetch_function prefetch_hook = prefetch_block;

namespace {

using readahead_state = abstract_readahead_state_t<fuse_file_handle>;

// Must be tested under the mutex wherever the thread could otherwise go on to
// wait: a stop request made while it was reading would be lost.
bool should_terminate(const readahead_state& readahead) {
  if (!readahead.terminate) return false;
  log_debug(1, "readahead_loop(): terminating.");
  return true;
}

// A failing prefetch costs its block, never the thread.
void prefetch_safely(readahead_state* readahead, block_id_t id) {
  try {
    prefetch_hook(readahead, id);
  } catch (const std::exception& error) {
    log_warning(boost::format("readahead(%d): %s") % id % error.what());
  } catch (...) {
    log_warning(boost::format("readahead(%d): unknown exception") % id);
  }
}

enum class pass_end { exhausted, cursor_moved, terminated };

// One pass over the candidates of the current cursor state, with the lock
// held except while a block is read.
pass_end prefetch_pass(readahead_state* readahead, std::unique_lock<std::mutex>& lock,
                       std::uint64_t limit) {
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
    prefetch_safely(readahead, id);
    lock.lock();
    readahead->prefetched.insert(id);
    if (&readahead->cursor.current_predictions() != predictions) {
      log_debug(2, "readahead_loop(): prediction tree changed, re-setting prefetch queue");
      return pass_end::cursor_moved;
    }
  }
  return pass_end::exhausted;
}

}  // namespace

std::uint64_t readahead_block_limit(boost::optional<std::uint64_t> cache_capacity) {
  if (!cache_capacity) return readahead_limit_without_cache;
  return static_cast<std::uint64_t>(readahead_limit_cache_share *
                                    static_cast<double>(*cache_capacity));
}

void readahead_loop(readahead_state* readahead, std::uint64_t limit) {
  log_debug(1, "readahead_loop(): started");
  std::unique_lock lock(readahead->mutex);
  for (;;) {
    const pass_end end = prefetch_pass(readahead, lock, limit);
    if (end == pass_end::terminated) return;
    if (end == pass_end::cursor_moved) continue;
    if (should_terminate(*readahead)) return;
    log_debug(2, "readahead_loop(): waiting for state change...");
    // Any wake-up starts a new pass: the thread waits for a change of the
    // cursor or for the stop flag, and a new pass finds out which.
    readahead->cond.wait(lock);
    if (should_terminate(*readahead)) return;
  }
}

}  // namespace quarnix
