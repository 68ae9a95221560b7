#include "tracesession/tracer_lifecycle.hpp"

#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <boost/format.hpp>

#include "support/descriptor_stream.hpp"
#include "support/errors.hpp"
#include "support/exclusive_files.hpp"
#include "support/logging.hpp"

namespace quarnix {

void ignore_sigint() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  if (sigaction(SIGINT, &action, nullptr) != 0) throw RuntimeError("sigaction()", errno);
}

std::optional<TracerLockFile> TracerLockFile::create(const std::string& program) {
  const std::string path = (boost::format("%s_%d.lck") % program % getpid()).str();
  UniqueFd fd = create_exclusively(path, 0666);
  if (!fd) {
    log_error(boost::format("Unable to create lock file %s: %s") % path % strerror(errno));
    return std::nullopt;
  }
  return TracerLockFile(path, std::move(fd));
}

TracerLockFile::TracerLockFile(TracerLockFile&& other) noexcept
    : path(std::exchange(other.path, {})), fd(std::move(other.fd)) {}

TracerLockFile::~TracerLockFile() {
  if (!path.empty()) unlink(path.c_str());
}

void TracerLockFile::name_tracer(pid_t tracer) {
  DescriptorStream file(std::move(fd));
  file << tracer << std::endl;
  if (!file) throw RuntimeError("Error writing .lck file", errno);
}

}  // namespace quarnix
