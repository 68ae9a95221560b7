// Around the tracer child: the interrupt that the terminal sends, and the
// lock file that names the tracer while it runs.
#pragma once

#include <sys/types.h>

#include <string>

namespace quarnix {

// Ignores SIGINT from now on (children forked later inherit it). Throws
// RuntimeError "sigaction()".
void ignore_sigint();

// A file in the working directory holding the tracer's process id, so that the
// tracer can be stopped from outside; removed when the owner goes.
class TracerLockFile {
 public:
  // Throws RuntimeError "Error writing .lck file".
  TracerLockFile(std::string path, pid_t tracer);
  ~TracerLockFile();
  TracerLockFile(const TracerLockFile&) = delete;
  TracerLockFile& operator=(const TracerLockFile&) = delete;

 private:
  std::string path;
};

}  // namespace quarnix
