// The prefetch thread, stopped and joined by its owner.
#pragma once

#include <cstdint>
#include <thread>

#include "prefetchd/fd_handle.hpp"

namespace quarnix::prefetchd {

class PrefetchThread {
 public:
  PrefetchThread(prefetch_state& readahead, std::uint32_t block_size, std::uint64_t max_blocks);
  ~PrefetchThread() { stop(); }
  PrefetchThread(const PrefetchThread&) = delete;
  PrefetchThread& operator=(const PrefetchThread&) = delete;

  // Asks the thread to stop through its state and joins it.
  void stop();

 private:
  prefetch_state& readahead;
  std::thread thread;
};

}  // namespace quarnix::prefetchd
