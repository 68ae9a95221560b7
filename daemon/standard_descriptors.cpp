#include "daemon/standard_descriptors.hpp"

#include <err.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

namespace quarnix {

namespace {

bool is_closed(int fd) {
  return ::fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

// Not close-on-exec: the standard descriptors are what children inherit.
void reopen_on_dev_null(int fd) {
  const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  if (opened < 0) err(1, "ERROR: open(\"/dev/null\")");
  // The lowest free number is taken: the closed descriptor, as the lower
  // ones are open by now.
  if (opened != fd) {
    ::dup2(opened, fd);
    ::close(opened);
  }
}

}  // namespace

StandardDescriptors reopen_closed_standard_descriptors() {
  StandardDescriptors descriptors;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (!is_closed(fd)) continue;
    if (fd == STDIN_FILENO) descriptors.input_was_closed = true;
    if (fd == STDOUT_FILENO) descriptors.output_was_closed = true;
    reopen_on_dev_null(fd);
  }
  return descriptors;
}

void require_materialization_channel(const StandardDescriptors& descriptors) {
  if (descriptors.input_was_closed)
    errx(1, "ERROR: --ondemand needs the materialization peer on standard input, which is closed");
  if (descriptors.output_was_closed)
    errx(1, "ERROR: --ondemand needs the materialization peer on standard output, which is closed");
}

}  // namespace quarnix
