#include "prefetchd/prefetch_thread.hpp"

#include <mutex>

#include "prefetchd/descriptor_prefetch.hpp"
#include "tracesession/tracer_end.hpp"

namespace quarnix {

PrefetchThread::PrefetchThread(prefetch_state& readahead, std::uint32_t block_size,
                               std::uint64_t max_blocks)
    : readahead(readahead) {
  // The thread starts with the termination signals blocked, so that their
  // handler runs on the main thread only, never beside its reaping of the
  // tracer, whose pid the handler signals.
  const TerminationSignalsHeld held;
  thread = std::thread(readahead_loop, &readahead, block_size, max_blocks);
}

void PrefetchThread::stop() {
  if (!thread.joinable()) return;
  {
    std::lock_guard lock(readahead.mutex);
    readahead.terminate = true;
  }
  readahead.cond.notify_all();
  thread.join();
}

}  // namespace quarnix
