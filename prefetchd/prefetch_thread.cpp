#include "prefetchd/prefetch_thread.hpp"

#include <mutex>

#include "prefetchd/descriptor_prefetch.hpp"

namespace quarnix {

PrefetchThread::PrefetchThread(prefetch_state& readahead, std::uint32_t block_size,
                               std::uint64_t max_blocks)
    : readahead(readahead), thread(readahead_loop, &readahead, block_size, max_blocks) {}

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
