#include "materialize/placeholders.hpp"

#include <err.h>

#include <iostream>

#include "daemon/daemon_state.hpp"
#include "daemon/operations.hpp"
#include "materialize/request_path.hpp"
#include "support/logging.hpp"

namespace quarnix {

int mark_unmaterialized(const char* fpath, const struct stat* sb, int typeflag, struct FTW*) {
  if (typeflag != FTW_F || !S_ISREG(sb->st_mode) || sb->st_size <= 0) return 0;
  MaterializationRecord& record = state.mat_records[sb->st_ino];
  const auto block_size = static_cast<uint64_t>(state.download_blocksize);
  const auto size = static_cast<uint64_t>(sb->st_size);
  const uint64_t blocks = size / block_size + (size % block_size != 0 ? 1 : 0);
  debug_line(2, DebugStyle::tagged, [&] {
    return boost::format("DEBUG: Marking %s as not materialized (%d blocks)") % fpath % blocks;
  });

  record.path = path_below_source(fpath);
  record.materialized.resize(blocks, false);
  // Bits kept from an earlier marking stay set and are not missing.
  record.missing = 0;
  for (const bool present : record.materialized)
    if (!present) ++record.missing;
  return 0;
}

void scan_for_placeholders() {
  if (::nftw(state.source.c_str(), mark_unmaterialized, 50, FTW_PHYS) != 0)
    err(1, "ERROR: failed to scan source directory tree");
  write_line(std::cerr,
             "INFO: Found " + std::to_string(state.mat_records.size()) + " placeholders");
}

std::optional<std::string> link_materialization_record(InodeRecord& record,
                                                       const struct stat& attr) {
  std::optional<std::string> path;
  if (state.forgetmat && S_ISREG(attr.st_mode)) {
    path = get_path(record);
    mark_unmaterialized((state.source + "/" + *path).c_str(), &attr, FTW_F, nullptr);
  }
  const auto found = state.mat_records.find(record.ino);
  if (found != state.mat_records.end()) record.mat_record = &found->second;
  return path;
}

}  // namespace quarnix
