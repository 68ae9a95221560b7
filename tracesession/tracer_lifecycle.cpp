#include "tracesession/tracer_lifecycle.hpp"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>

#include "support/errors.hpp"

namespace quarnix {

void ignore_sigint() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  if (sigaction(SIGINT, &action, nullptr) != 0) throw RuntimeError("sigaction()", errno);
}

TracerLockFile::TracerLockFile(std::string path, pid_t tracer) : path(std::move(path)) {
  std::ofstream file(this->path, std::ios::trunc);
  file << tracer << std::endl;
  if (!file) throw RuntimeError("Error writing .lck file", errno);
}

TracerLockFile::~TracerLockFile() {
  unlink(path.c_str());
}

}  // namespace quarnix
