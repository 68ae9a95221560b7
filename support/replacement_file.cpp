#include "support/replacement_file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <utility>

#include "support/errors.hpp"

namespace quarnix {

namespace {

constexpr int max_name_attempts = 100;

std::string temporary_name(const std::string& target) {
  static std::atomic<unsigned int> counter{0};
  return target + "." + std::to_string(::getpid()) + "." + std::to_string(counter++) + ".tmp";
}

}  // namespace

ReplacementFile::ReplacementFile(const std::string& target, std::string failure_message,
                                 mode_t mode)
    : target(target), failure_message(std::move(failure_message)) {
  // O_EXCL never reuses a file that someone else created under the same name.
  for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
    temporary = temporary_name(target);
    descriptor = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor >= 0) return;
    if (errno != EEXIST) fail(errno);
  }
  fail(EEXIST);
}

ReplacementFile::~ReplacementFile() {
  if (committed) return;
  if (descriptor >= 0) ::close(descriptor);
  ::unlink(temporary.c_str());
}

void ReplacementFile::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(descriptor, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void ReplacementFile::commit() {
  if (::fsync(descriptor) != 0) fail(errno);
  close_descriptor();
  if (::rename(temporary.c_str(), target.c_str()) != 0) fail(errno);
  committed = true;
}

void ReplacementFile::close_descriptor() {
  const int closing = descriptor;
  descriptor = -1;
  // Some filesystems report a failed write only here.
  if (::close(closing) != 0) fail(errno);
}

void ReplacementFile::fail(int error_number) const {
  throw RuntimeError(failure_message, error_number);
}

}  // namespace quarnix
