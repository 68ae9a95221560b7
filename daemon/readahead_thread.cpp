#include "daemon/readahead_thread.hpp"

#include "daemon/daemon_state.hpp"
#include "daemon/readahead_loop.hpp"
#include "support/logging.hpp"

namespace quarnix {

ReadaheadThread::ReadaheadThread() {
  if (!state.readahead) return;
  boost::optional<uint64_t> capacity;
  if (state.cache) capacity = state.cache->capacity();
  const uint64_t limit = readahead_block_limit(capacity);
  debug_line(3, DebugStyle::tagged, "Starting readahead loop..");
  thread = std::thread(readahead_loop, &*state.readahead, limit);
}

void ReadaheadThread::stop() {
  if (!thread.joinable()) return;
  state.readahead->request_stop();
  thread.join();
}

}  // namespace quarnix
