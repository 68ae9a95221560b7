// Room for the metadata file on the cache file's filesystem, taken before any
// chunk is written: a sparse cache file may fill that filesystem, and the
// metadata written at exit must still fit. The room is a file of its own
// beside the metadata, "<metadata>.reserve", allocated in full; the save
// writes into it, gives back what it did not use and renames it over the
// metadata file, so it needs no new blocks and never leaves a partial
// metadata file.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "support/unique_fd.hpp"

namespace quarnix {

class MetadataReserve {
 public:
  // Allocates `size` bytes for `target`, replacing a reserve left behind by a
  // run that ended without its save. Throws RuntimeError with the errno when
  // the room cannot be had; nothing is left behind then.
  MetadataReserve(const std::string& target, uint64_t size);
  // Removes the reserve unless it became the target.
  ~MetadataReserve();
  MetadataReserve(const MetadataReserve&) = delete;
  MetadataReserve& operator=(const MetadataReserve&) = delete;

  // Writes `contents` into the reserve, flushes it to the disk and renames it
  // over the target. A failure removes the reserve and throws
  // RuntimeError(failure_message, errno).
  void commit(std::string_view contents, const std::string& failure_message);

 private:
  [[noreturn]] void fail(const std::string& failure_message, int error_number);
  void remove() noexcept;

  const std::string target;
  const std::string path;
  UniqueFd descriptor;
  // The reserve exists under `path`: not yet renamed or removed.
  bool present = false;
};

}  // namespace quarnix
