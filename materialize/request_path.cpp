#include "materialize/request_path.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>

#include "daemon/daemon_state.hpp"
#include "daemon/operations.hpp"

namespace quarnix {

namespace {

bool names_file(const std::string& path, const InodeRecord& inode) {
  struct stat info {};
  return !path.empty() &&
         ::fstatat(state.root.fd.get(), path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         info.st_dev == inode.dev && info.st_ino == inode.ino;
}

// nftw gives its callback no argument of the caller's.
thread_local const InodeRecord* searched = nullptr;
thread_local std::string found;

int match_searched(const char* fpath, const struct stat* sb, int typeflag, struct FTW*) {
  if (typeflag != FTW_F || sb->st_ino != searched->ino || sb->st_dev != searched->dev) return 0;
  found = fpath;
  return 1;
}

// Any name of the file: a search of the tree, for a file whose name it was
// looked up by is gone while another link of it remains.
std::optional<std::string> search_source_tree(const InodeRecord& inode) {
  searched = &inode;
  const int result = ::nftw(state.source.c_str(), match_searched, 16, FTW_PHYS | FTW_MOUNT);
  searched = nullptr;
  if (result != 1) return std::nullopt;
  return path_below_source(found);
}

}  // namespace

std::optional<std::string> request_path(InodeRecord& inode) {
  MaterializationRecord& record = *inode.mat_record;
  // The kernel keeps the name of the inode's own descriptor current.
  if (std::optional<std::string> path = current_path(inode)) {
    record.path = *path;
    return path;
  }
  if (names_file(record.path, inode)) return record.path;
  struct stat info {};
  if (::fstat(inode.fd.get(), &info) != 0 || info.st_nlink == 0) return std::nullopt;
  std::optional<std::string> path = search_source_tree(inode);
  if (path) record.path = *path;
  return path;
}

std::string path_below_source(const std::string& full_path) {
  std::string path = full_path;
  path.erase(0, std::min(path.size(), state.source.size()));
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  return path;
}

}  // namespace quarnix
