#include "prefetchd/prefetch_thread.hpp"

#include "prefetchd/descriptor_prefetch.hpp"
#include "tracesession/tracer_end.hpp"

namespace quarnix::prefetchd {

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
  readahead.request_stop();
  thread.join();
}

}  // namespace quarnix::prefetchd
