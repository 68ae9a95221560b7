#include "daemon/readahead_loop.hpp"

#include "readahead/prefetch_loop.hpp"

namespace quarnix {

prefetch_function prefetch_hook = prefetch_block;

std::uint64_t readahead_block_limit(boost::optional<std::uint64_t> cache_capacity) {
  if (!cache_capacity) return readahead_limit_without_cache;
  return static_cast<std::uint64_t>(readahead_limit_cache_share *
                                    static_cast<double>(*cache_capacity));
}

void readahead_loop(abstract_readahead_state_t<fuse_file_handle>* readahead, std::uint64_t limit) {
  // The hook is read for every block, so that tests can replace it.
  PrefetchLoopActions<fuse_file_handle> actions;
  actions.prefetch = [](auto* target, block_id_t id) { prefetch_hook(target, id); };
  run_prefetch_loop(readahead, limit, actions);
}

}  // namespace quarnix
