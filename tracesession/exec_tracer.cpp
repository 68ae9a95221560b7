#include "tracesession/exec_tracer.hpp"

#include <errno.h>
#include <libgen.h>
#include <string.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <cstdlib>
#include <string>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// The standard output to come back to when no probe can be executed; the
// copy stays open across a successful exec.
int save_stdout() {
  const int saved = dup(1);
  if (saved < 0) throw RuntimeError("dup()", errno);
  return saved;
}

void move_to_stdout(int fd) {
  if (fd == 1) return;
  if (dup2(fd, 1) < 0) throw RuntimeError("dup2()", errno);
  if (close(fd) != 0) throw RuntimeError("close()", errno);
}

// A program found through PATH has no directory of its own in argv0; looking
// beside it would run whatever quarnix_probe lies in the working directory.
void exec_probe_beside(const char* argv0, const std::string& pid, const std::string& device) {
  if (!strchr(argv0, '/')) return;
  std::string directory_buffer(argv0);
  const std::string probe = std::string(dirname(directory_buffer.data())) + "/quarnix_probe";
  execl(probe.c_str(), probe.c_str(), "--exclude-pid", pid.c_str(), device.c_str(), nullptr);
}

}  // namespace

void exec_tracer(const char* argv0, int output_fd, uint64_t device, int excluded_pid) {
  const int saved_stdout = save_stdout();
  move_to_stdout(output_fd);
  const std::string pid_text = (boost::format("%d") % excluded_pid).str();
  const std::string device_text = (boost::format("%d") % device).str();

  exec_probe_beside(argv0, pid_text, device_text);
  execlp("quarnix_probe", "quarnix_probe", "--exclude-pid", pid_text.c_str(), device_text.c_str(),
         nullptr);
  const int exec_error = errno;

  if (dup2(saved_stdout, 1) < 0) throw RuntimeError("dup2()", errno);
  log_error(boost::format("Failed to execute `quarnix_probe` helper: %s") % strerror(exec_error));
  std::exit(7);
}

}  // namespace quarnix
