#include "tracesession/mountpoint.hpp"

#include <errno.h>
#include <ftw.h>
#include <string.h>
#include <sys/stat.h>

#include <boost/format.hpp>
#include <cstdlib>

#include "support/command_line.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "tracesession/tracer_end.hpp"

namespace quarnix {

namespace {

// nftw passes its callback no argument of ours, so the scan's context lives here.
ino2path_t* scan_result = nullptr;
const char* scan_prefix = nullptr;
size_t scan_prefix_len = 0;

// What scan_visit returns to stop the walk: a path outside the prefix fails
// the scan, a request to end the program only cuts it short.
constexpr int walk_failed = 1;
constexpr int walk_stopped_on_request = 2;

[[noreturn]] void refuse_mountpoint(const boost::format& message) {
  log_error(message);
  std::exit(2);
}

int scan_visit(const char* path, const struct stat* status, int type, FTW*) {
  // A large tree takes long to walk; the program ends without it.
  if (termination_status() != 0) return walk_stopped_on_request;
  // nftw reports fifos, sockets and devices as FTW_F too.
  if (type != FTW_F || !S_ISREG(status->st_mode)) return 0;
  if (strncmp(path, scan_prefix, scan_prefix_len) != 0) {
    log_error(boost::format("Path %s does not start with %s!?") % path % scan_prefix);
    return walk_failed;
  }
  scan_result->emplace(status->st_ino, path + scan_prefix_len);
  return 0;
}

}  // namespace

std::string resolve_mountpoint(const std::string& argument) {
  std::string mountpoint = resolve_path(argument);
  if (!mountpoint.ends_with('/')) mountpoint += '/';
  return mountpoint;
}

uint64_t check_mountpoint(const std::string& mountpoint) {
  struct stat own {};
  if (lstat(mountpoint.c_str(), &own) != 0)
    refuse_mountpoint(boost::format("Unable to access %s: %s") % mountpoint % strerror(errno));
  if (!S_ISDIR(own.st_mode)) refuse_mountpoint(boost::format("%s is not a directory") % mountpoint);
  struct stat parent {};
  if (lstat((mountpoint + "/..").c_str(), &parent) != 0)
    refuse_mountpoint(boost::format("Unable to access %s/..: %s") % mountpoint % strerror(errno));
  if (own.st_dev == parent.st_dev)
    refuse_mountpoint(boost::format("%s is not a mountpoint") % mountpoint);
  return own.st_dev;
}

ino2path_t scan_mountpoint(const std::string& mountpoint) {
  ino2path_t result;
  scan_result = &result;
  scan_prefix = mountpoint.c_str();
  scan_prefix_len = mountpoint.size();
  errno = 0;
  const int walked = nftw(mountpoint.c_str(), scan_visit, 50, FTW_PHYS);
  const int error_number = errno;
  scan_result = nullptr;
  if (walked != 0 && walked != walk_stopped_on_request)
    throw RuntimeError(boost::format("failed to scan %s") % mountpoint, error_number);
  return result;
}

}  // namespace quarnix
