// The stream positions behind the offsets handed to the kernel for the
// entries of one directory. The kernel fills its cache of a directory through
// one handle and, once a change has dropped that cache, may go on reading
// through another handle at an offset the first was given: the offsets belong
// to the directory, and every handle of it finds them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace quarnix {

class DirectoryPositions {
 public:
  // The offset for the entry whose stream position (its d_off, where the
  // stream goes on after it) is `position`, remembered: the position folded
  // into 32 bits, or, when another position already holds that value, the
  // next one still free, so that each offset leads back to one position.
  // Never 0, which stands for the start.
  uint32_t hand_out(int64_t position);
  // Where the stream goes on after the entry handed out at `offset`; nothing
  // for an offset never handed out, or given up (below).
  std::optional<int64_t> find(uint32_t offset);
  // A listing has gone from the start of the directory through `entries`
  // entries, to its end or not yet: the offsets of a listing still under way
  // must not be given up either.
  void listed_from_start(std::size_t entries);
  // How many offsets are remembered.
  std::size_t remembered();

 private:
  const int64_t* known(uint32_t offset) const;
  void remember(uint32_t offset, int64_t position);

  // A directory listed while names come and go for hours meets ever new
  // positions. They are kept in two generations: when the newer one holds
  // `generation_size` offsets it becomes the older one and the older is given
  // up. An offset found or handed out again joins the newer one. At least
  // twice the entries of the longest listing from the start, so that the
  // offsets of the listing under way and of the last whole one are known.
  std::size_t generation_size = 1024;
  std::unordered_map<uint32_t, int64_t> newer;
  std::unordered_map<uint32_t, int64_t> older;
  // Innermost: nothing is locked while it is held.
  std::mutex mutex;
};

}  // namespace quarnix
