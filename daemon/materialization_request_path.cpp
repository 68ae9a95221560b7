#include "daemon/materialization_request_path.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>

#include "daemon/daemon_state.hpp"
#include "daemon/operations.hpp"

namespace quarnix {

namespace {

bool names_file(const std::string& path, const BlockRequest& request) {
  struct stat info {};
  return !path.empty() &&
         ::fstatat(state.root.fd.get(), path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
         info.st_dev == request.dev && info.st_ino == request.ino;
}

// nftw gives its callback no argument of the caller's.
thread_local const BlockRequest* searched_for = nullptr;
thread_local std::string found;

int match_searched(const char* fpath, const struct stat* sb, int typeflag, struct FTW*) {
  if (typeflag != FTW_F || sb->st_ino != searched_for->ino || sb->st_dev != searched_for->dev)
    return 0;
  found = fpath;
  return 1;
}

// Any name of the file: a search of the tree, for a file whose name it was
// looked up by is gone while another link of it remains.
std::optional<std::string> search_source_tree(const BlockRequest& request) {
  searched_for = &request;
  const int result = ::nftw(state.source.c_str(), match_searched, 16, FTW_PHYS | FTW_MOUNT);
  searched_for = nullptr;
  if (result != 1) return std::nullopt;
  return path_below_source(found);
}

}  // namespace

std::optional<std::string> RequestPaths::find(const BlockRequest& request) {
  // The kernel keeps the name of the inode's own descriptor current.
  if (std::optional<std::string> path = current_path(request.file.get(), request.dev, request.ino))
    return path;
  const auto earlier = searched.find(request.ino);
  if (earlier != searched.end()) {
    if (names_file(earlier->second, request)) return earlier->second;
    searched.erase(earlier);
  }
  if (names_file(request.known_path, request)) return request.known_path;
  struct stat info {};
  if (::fstat(request.file.get(), &info) != 0 || info.st_nlink == 0) return std::nullopt;
  std::optional<std::string> path = search_source_tree(request);
  if (path) searched[request.ino] = *path;
  return path;
}

std::string path_below_source(const std::string& full_path) {
  std::string path = full_path;
  path.erase(0, std::min(path.size(), state.source.size()));
  if (!path.empty() && path.front() == '/') path.erase(0, 1);
  return path;
}

}  // namespace quarnix
