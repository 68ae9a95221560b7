#include "prefetchd/prefetch_thread.hpp"

#include "prefetchd/descriptor_prefetch.hpp"

namespace quarnix::prefetchd {

PrefetchThread::PrefetchThread(prefetch_state& readahead, std::uint32_t block_size,
                               std::uint64_t max_blocks)
    : readahead(readahead), thread(readahead_loop, &readahead, block_size, max_blocks) {}

void PrefetchThread::stop() {
  if (!thread.joinable()) return;
  readahead.request_stop();
  thread.join();
}

}  // namespace quarnix::prefetchd
