// A cache file whose filesystem has no room for a chunk: a sparse cache file
// on a full filesystem, or a quota. The cache keeps working with the slots
// that hold data, and says so once rather than at every read.
#include <boost/format.hpp>

#include "cache/cache.hpp"
#include "support/logging.hpp"

namespace quarnix {

void Cache::set_aside_for_want_of_room(uint64_t slot, uint64_t ino, uint64_t chunkno,
                                       const CacheFullError& error) {
  doubtful_slots.push_back(slot);
  if (out_of_room) {
    debug_line(4, DebugStyle::tagged, [&] {
      return boost::format("Cache: no room for chunk %d of inode %d in slot %d, set aside: %s") %
             chunkno % ino % slot % error.what();
    });
    return;
  }
  out_of_room = true;
  doubtful_slots.insert(doubtful_slots.end(), free_slots.begin(), free_slots.end());
  free_slots.clear();
  log_warning(boost::format("Cache file has no room for chunk %d of inode %d (%s); chunks replace "
                            "cached ones from now on.") %
              chunkno % ino % error.what());
}

void Cache::report_admission_stopped() {
  if (admission_stopped) return;
  admission_stopped = true;
  log_warning(
      "Cache file has no room and holds no chunk to replace; nothing is cached until a slot "
      "frees.");
}

}  // namespace quarnix
