#include "daemon/materialization_placeholders.hpp"

#include <err.h>
#include <sys/stat.h>

#include <iostream>

#include "daemon/after_inode_locks.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/materialization_account.hpp"
#include "daemon/materialization_completion.hpp"
#include "daemon/materialization_request_path.hpp"
#include "daemon/operations.hpp"
#include "materialize/request_channel.hpp"
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
  record.identity = SourceIdentity::of(*sb, FileHandle::at_path(fpath));
  record.block_size = block_size;
  // Bits kept from an earlier marking stay set and are not missing.
  record.resize_blocks(blocks);
  return 0;
}

void scan_for_placeholders() {
  if (::nftw(state.source.c_str(), mark_unmaterialized, 50, FTW_PHYS) != 0)
    err(1, "ERROR: failed to scan source directory tree");
  write_line(std::cerr,
             "INFO: Found " + std::to_string(state.mat_records.size()) + " placeholders");
}

namespace {

// A record under the inode number of a file it does not belong to: the number
// was freed and taken again while no inode of the daemon held the file.
void drop_stale_record(uint64_t source_ino) {
  if (state.mat_records.erase(source_ino) == 0) return;
  // The new file waits for nothing the earlier one was owed.
  request_channel().account().forgive(source_ino);
  debug_line(3, DebugStyle::plain, [&] {
    return "DEBUG: Dropping the materialization record of inode " + std::to_string(source_ino) +
           ": it belongs to an earlier file";
  });
}

}  // namespace

std::optional<std::string> link_materialization_record(InodeRecord& record, const struct stat& attr,
                                                       bool created) {
  const auto found = state.mat_records.find(record.ino);
  if (found != state.mat_records.end() &&
      (created || !S_ISREG(attr.st_mode) ||
       !found->second.identity.matches(attr, FileHandle::of_descriptor(record.fd.get()))))
    drop_stale_record(record.ino);
  // A file made through the mount holds what is written to it: never a placeholder.
  if (created) return std::nullopt;
  std::optional<std::string> path;
  if (state.forgetmat && S_ISREG(attr.st_mode)) {
    path = get_path(record);
    mark_unmaterialized((state.source + "/" + *path).c_str(), &attr, FTW_F, nullptr);
  }
  const auto linked = state.mat_records.find(record.ino);
  if (linked != state.mat_records.end()) record.mat_record = &linked->second;
  return path;
}

void unlink_materialization_record(InodeRecord& record) {
  if (!record.mat_record) return;
  MaterializationRecord& linked = *record.mat_record;
  record.mat_record = nullptr;
  // A complete file, or one with no name left, needs its record no more;
  // unless the peer still owes answers: a size change of the file's next
  // inode must wait for their writes.
  struct stat info {};
  if (settled(record.ino, linked)) {
    state.mat_records.erase(record.ino);
    return;
  }
  if (::fstat(record.fd.get(), &info) != 0) return;
  if (info.st_nlink == 0) {
    // Removed beside the mount: a file that takes over the inode number
    // waits for nothing this one was owed.
    request_channel().account().forgive(record.ino);
    state.mat_records.erase(record.ino);
    return;
  }
  // An incomplete file keeps its bits for its next lookup, which takes them
  // as its own when the file is still as this inode leaves it: in the size
  // that truncations and writes through the mount may have changed.
  linked.identity.size = info.st_size;
  if (std::optional<std::string> path = current_path(record.fd.get(), record.dev, record.ino))
    linked.path = *path;
}

void name_removed(int fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_nlink != 0) return;
  const AfterInodeLocks after_locks;
  std::unique_lock state_lock(state.mutex);
  const auto found = state.mat_records.find(info.st_ino);
  if (found == state.mat_records.end() || found->second.identity.dev != info.st_dev) return;
  // Nothing waits for answers the peer may no longer be able to give.
  request_channel().account().forgive(info.st_ino);
  const auto inode = state.inodes.find(info.st_ino);
  if (inode == state.inodes.end() || inode->second.mat_record != &found->second) {
    state.mat_records.erase(found);
    return;
  }
  // The inode still links it until the kernel forgets the file; requests for
  // its missing blocks fail from now on, as no path leads the peer there.
  std::lock_guard inode_lock(inode->second.mutex);
  state_lock.unlock();
  fail_parked_operations_of(inode->second);
}

}  // namespace quarnix
