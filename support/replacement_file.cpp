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

// Replaces `path` by the name that a write to it would reach: symbolic links
// are followed, relative ones from their own directory, until a name that is
// none (or does not exist yet). Returns 0 or an errno value.
int follow_links(std::string& path) {
  for (int hop = 0; hop <= max_link_hops; ++hop) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return 0;
    char link[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), link, sizeof link);
    if (length < 0) return errno;
    if (length == 0) return ENOENT;
    if (length == static_cast<ssize_t>(sizeof link)) return ENAMETOOLONG;
    const std::string text(link, static_cast<std::size_t>(length));
    const std::size_t slash = path.rfind('/');
    path =
        text.front() == '/' || slash == std::string::npos ? text : path.substr(0, slash + 1) + text;
  }
  return ELOOP;
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& target, std::string failure_message,
                                 mode_t mode)
    : target(target), failure_message(std::move(failure_message)) {
  if (const int error = follow_links(this->target); error != 0) fail(error);
  struct stat existing {};
  if (::lstat(this->target.c_str(), &existing) != 0) {
    create_temporary(mode);
    return;
  }
  if (S_ISREG(existing.st_mode)) {
    create_temporary(mode);
    take_over_attributes(existing);
    return;
  }
  // Renaming over a device or a FIFO would put a plain file in its place.
  descriptor.reset(::open(this->target.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (!descriptor) fail(errno);
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
