#include "support/bounded_file_read.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/errors.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

BoundedFileRead refused(const std::string& path, const std::string& reason,
                        const std::optional<struct stat>& info = std::nullopt) {
  return {BoundedFileRead::Outcome::refused, "", path + ": " + reason, info};
}

BoundedFileRead not_regular(const std::string& path) {
  return {BoundedFileRead::Outcome::not_regular, "", path + ": not a regular file", std::nullopt};
}

}  // namespace

BoundedFileRead read_bounded_regular_file(const std::string& path, uint64_t max_size) {
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    const int error = errno;
    // A symbolic link, or a socket: there is something, but not a file.
    if (error == ELOOP || error == ENXIO) return not_regular(path);
    return {BoundedFileRead::Outcome::missing, "", path + ": " + errno_string(error), std::nullopt};
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return refused(path, "fstat(): " + errno_string(errno));
  if (!S_ISREG(info.st_mode)) return not_regular(path);
  if (static_cast<uint64_t>(info.st_size) > max_size)
    return refused(path,
                   std::to_string(info.st_size) + " bytes, more than the " +
                       std::to_string(max_size) + " it can need",
                   info);

  // A file that grows meanwhile is read as far as fstat saw it.
  BoundedFileRead result{BoundedFileRead::Outcome::read, "", "", info};
  result.bytes.resize(static_cast<std::size_t>(info.st_size));
  std::size_t filled = 0;
  while (filled < result.bytes.size()) {
    const ssize_t got =
        ::read(fd.get(), result.bytes.data() + filled, result.bytes.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return refused(path, "read(): " + errno_string(errno), info);
    }
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  result.bytes.resize(filled);
  return result;
}

}  // namespace quarnix
