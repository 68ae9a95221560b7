#include "support/replacement_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <utility>

#include "support/errors.hpp"

namespace quarnix {

namespace {

constexpr int max_name_attempts = 100;
// As many as the kernel follows in one path.
constexpr int max_link_hops = 40;

std::string temporary_name(const std::string& target) {
  static std::atomic<unsigned int> counter{0};
  return target + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
}

// The directory that holds the entry `path` names.
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The kernel's protection of shared directories: in a sticky directory that
// everyone may write, a link is followed, and a file or FIFO written, only
// when it belongs to the process's user or to the directory's owner, since
// anyone else may have planted it there to turn a write elsewhere or to be
// handed the output. Returns 0 or an errno value.
int may_use(const struct stat& link, const std::string& directory) {
  struct stat holder {};
  if (::stat(directory.c_str(), &holder) != 0) return errno;
  constexpr mode_t shared = S_ISVTX | S_IWOTH;
  if ((holder.st_mode & shared) != shared) return 0;
  return link.st_uid == ::geteuid() || link.st_uid == holder.st_uid ? 0 : EACCES;
}

// Replaces `path` by the name that a write to it would reach: symbolic links
// are followed, relative ones from their own directory, until a name that is
// none (or does not exist yet). Returns 0 or an errno value.
int follow_links(std::string& path) {
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    // The owner and the text come from one link, whatever replaces it meanwhile.
    const UniqueFd link(::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!link || ::fstat(link.get(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    if (const int refused = may_use(info, directory_of(path)); refused != 0) return refused;
    char text[PATH_MAX];
    const ssize_t length = ::readlinkat(link.get(), "", text, sizeof text);
    if (length < 0) return errno;
    if (length == 0) return ENOENT;
    if (length == static_cast<ssize_t>(sizeof text)) return ENAMETOOLONG;
    const std::string destination(text, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    path = destination.front() == '/' || slash == std::string::npos
               ? destination
               : path.substr(0, slash + 1) + destination;
  }
  return ELOOP;
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& target, std::string failure_message,
                                 mode_t mode, OutputTarget kind)
    : target(target), failure_message(std::move(failure_message)) {
  if (kind == OutputTarget::own)
    create_temporary(mode);
  else
    open_followed(mode);
}

void ReplacementFile::open_followed(mode_t mode) {
  if (const int error = follow_links(target); error != 0) fail(error);
  struct stat existing {};
  if (::lstat(target.c_str(), &existing) != 0) {
    create_temporary(mode);
    return;
  }
  if (S_ISREG(existing.st_mode) || S_ISFIFO(existing.st_mode))
    if (const int refused = may_use(existing, directory_of(target)); refused != 0) fail(refused);
  if (S_ISREG(existing.st_mode)) {
    create_temporary(mode);
    take_over_attributes(existing);
    return;
  }
  // Renaming over a device or a FIFO would put a plain file in its place.
  open_written_through();
}

void ReplacementFile::open_written_through() {
  // Without O_NONBLOCK, opening a FIFO waits for a reader that may never
  // come; with it, a FIFO without one fails with ENXIO. O_NOFOLLOW: the name
  // was no link a moment ago, and one put there since is not followed.
  descriptor.reset(
      ::open(target.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!descriptor) fail(errno);
  // Writes wait for a slow reader as they would for any program's output.
  const int flags = ::fcntl(descriptor.get(), F_GETFL);
  if (flags < 0 || ::fcntl(descriptor.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fail(errno);
}

ReplacementFile::~ReplacementFile() {
  if (!committed) remove_temporary();
}

void ReplacementFile::create_temporary(mode_t mode) {
  // O_EXCL never reuses a file that someone else created under the same name.
  for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
    temporary = temporary_name(target);
    descriptor.reset(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
    if (descriptor) return;
    const int error = errno;
    temporary.clear();
    if (error != EEXIST) fail(error);
  }
  fail(EEXIST);
}

namespace {

// A filesystem without owners or modes, or an owner that only a privileged
// process may hand the file to, leaves the new file as it was created.
bool attribute_kept_back(int error_number) {
  return error_number == EPERM || error_number == EOPNOTSUPP;
}

}  // namespace

void ReplacementFile::take_over_attributes(const struct stat& replaced) {
  if (::fchown(descriptor.get(), replaced.st_uid, replaced.st_gid) != 0 &&
      !attribute_kept_back(errno))
    fail(errno);
  if (::fchmod(descriptor.get(), replaced.st_mode & 0777) != 0 && !attribute_kept_back(errno))
    fail(errno);
}

void ReplacementFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor.get(), bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void ReplacementFile::commit() {
  // Devices and FIFOs take no fsync.
  if (!temporary.empty() && ::fsync(descriptor.get()) != 0) fail(errno);
  close_descriptor();
  if (!temporary.empty() && ::rename(temporary.c_str(), target.c_str()) != 0) fail(errno);
  committed = true;
}

void ReplacementFile::close_descriptor() {
  // Some filesystems report a failed write only here.
  if (::close(descriptor.release()) != 0) fail(errno);
}

void ReplacementFile::remove_temporary() noexcept {
  descriptor.reset();
  if (!temporary.empty()) ::unlink(temporary.c_str());
  temporary.clear();
}

// An exception that nothing catches ends the process without unwinding, so the
// temporary file is removed here rather than left to the destructor.
void ReplacementFile::fail(int error_number) {
  remove_temporary();
  throw RuntimeError(failure_message, error_number);
}

}  // namespace quarnix
