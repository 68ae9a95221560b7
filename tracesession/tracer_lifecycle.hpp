// Around the tracer child: the interrupt that the terminal sends, and the
// lock file that names the tracer while it runs.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "support/unique_fd.hpp"

namespace quarnix {

// Ignores SIGINT from now on (children forked later inherit it). Throws
// RuntimeError "sigaction()".
void ignore_sigint();

// "<program>_<pid>.lck" in the working directory: created empty before the
// tracer starts, so that a name someone else holds is refused before any
// tracing; it names the tracer once tracing runs, so that the tracer can be
// stopped from outside. Removed when the owner goes.
class TracerLockFile {
 public:
  // The lock file of this process; none (after an ERROR line) when its name
  // cannot be created, also when any entry already holds it.
  static std::optional<TracerLockFile> create(const std::string& program);

  TracerLockFile(TracerLockFile&& other) noexcept;
  TracerLockFile& operator=(TracerLockFile&&) = delete;
  ~TracerLockFile();

  // Writes the tracer's pid and a newline, once. Throws RuntimeError "Error
  // writing .lck file".
  void name_tracer(pid_t tracer);

 private:
  TracerLockFile(std::string path, UniqueFd fd) : path(std::move(path)), fd(std::move(fd)) {}

  std::string path;  // empty once moved from
  UniqueFd fd;
};

}  // namespace quarnix
