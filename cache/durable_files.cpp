#include "cache/durable_files.hpp"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "support/errors.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

void sync_directory_of(const std::string& path, const std::string& failure_message) {
  std::filesystem::path directory = std::filesystem::path(path).parent_path();
  if (directory.empty()) directory = ".";
  const UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) throw RuntimeError(failure_message, errno);
  if (::fsync(fd.get()) != 0) throw RuntimeError(failure_message, errno);
}

void remove_durably(const std::string& path, const std::string& failure_message) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) throw RuntimeError(failure_message, errno);
  // Also when it was missing: a removal of an earlier run may not be on the disk yet.
  sync_directory_of(path, failure_message);
}

}  // namespace quarnix
