// Core dumps of a copy of the daemon, taken by gcore and compressed by gzip.
// Both work in a directory the daemon has just made for them, never on a name
// in the crash directory that someone else could have planted; the finished
// dump is moved beside its report only where no name is taken.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "daemon/crash_report.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

// gcore's output in the work directory (it appends ".<pid>"), and gzip's.
constexpr const char* dump_name = "core";
constexpr const char* compressed_name = "core.gz";

// Everything the children need, prepared before the fork: after it they may
// only make async-signal-safe calls. Names are taken relative to the two
// directories' descriptors, so that a relative --crashdir holds after the
// children changed into the work directory, and a directory renamed behind
// them cannot redirect the dump.
struct DumpPlan {
  std::string gcore;
  std::string gzip;
  int crash_fd;
  int work_fd;
  std::string work_name;         // "<report name>.core.XXXXXX", in the crash directory
  std::string final_dump;        // "<report name>.core"
  std::string final_compressed;  // "<report name>.core.gz"
};

// The full path of `program` along PATH.
std::string find_program(const char* program) {
  const char* path = std::getenv("PATH");
  std::string directories = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= directories.size()) {
    std::size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    std::string directory = directories.substr(start, end - start);
    if (directory.empty()) directory = ".";
    std::string candidate = directory + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return program;
}

// Async-signal-safe output for the forked children.
void write_text(const char* text) {
  ssize_t ignored = ::write(STDERR_FILENO, text, strlen(text));
  (void)ignored;
}

void write_failure(const char* what, int error_number) {
  write_text(what);
  write_text(strerrordesc_np(error_number) ? strerrordesc_np(error_number) : "Unknown error");
  write_text("\n");
}

[[noreturn]] void child_failure(const char* what) {
  write_failure(what, errno);
  _exit(7);
}

void format_decimal(long value, char* out) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0)
    *out++ = digits[--count];
  *out = '\0';
}

void wait_for(pid_t child) {
  while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// Moves the finished dump (compressed, or as gcore left it when gzip did not
// run) beside its report; a name that is taken is left alone, and the dump
// then stays in the work directory.
[[noreturn]] void move_dump_beside_report(const DumpPlan& plan) {
  int result = ::renameat2(plan.work_fd, compressed_name, plan.crash_fd,
                           plan.final_compressed.c_str(), RENAME_NOREPLACE);
  if (result != 0 && errno == ENOENT)
    result = ::renameat2(plan.work_fd, dump_name, plan.crash_fd, plan.final_dump.c_str(),
                         RENAME_NOREPLACE);
  // No dump at all: gcore has said why.
  if (result != 0 && errno != ENOENT) child_failure("ERROR: dump_core(): renameat2(): ");
  ::unlinkat(plan.crash_fd, plan.work_name.c_str(), AT_REMOVEDIR);
  _exit(result == 0 ? 0 : 7);
}

// Runs in the forked copy of the daemon, inside the work directory: waits
// until gcore has finished with it, then has gzip compress the dump.
[[noreturn]] void compress_own_dump(int read_end, int write_end, const DumpPlan& plan) {
  ::close(write_end);
  char byte;
  while (::read(read_end, &byte, 1) < 0 && errno == EINTR) {
  }
  char written_name[32] = "core.";
  format_decimal(::getpid(), written_name + strlen(written_name));
  ::rename(written_name, dump_name);
  const pid_t gzip = ::fork();
  if (gzip < 0) child_failure("ERROR: dump_core(): fork() gzip: ");
  if (gzip == 0) {
    ::execl(plan.gzip.c_str(), "gzip", dump_name, static_cast<char*>(nullptr));
    child_failure("ERROR: dump_core(): execlp(): ");
  }
  wait_for(gzip);
  move_dump_beside_report(plan);
}

// The first child: becomes gcore, which dumps a copy of the daemon forked here.
[[noreturn]] void run_gcore(const DumpPlan& plan) {
  // Standard output and input may be the materialization channel.
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  const int nothing = ::open("/dev/null", O_RDONLY);
  if (nothing > STDIN_FILENO) {
    ::dup2(nothing, STDIN_FILENO);
    ::close(nothing);
  }
  ::umask(077);
  // The daemon's threads hold signals back that gcore and gzip must get.
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::fchdir(plan.work_fd) != 0) child_failure("ERROR: dump_core(): fchdir(): ");
  int fds[2];
  if (::pipe2(fds, 0) != 0) child_failure("ERROR: dump_core(): pipe2(): ");
  const pid_t dumped = ::fork();
  if (dumped < 0) child_failure("ERROR: dump_core(): fork() dump: ");
  if (dumped == 0) compress_own_dump(fds[0], fds[1], plan);
  char pid_text[24];
  format_decimal(dumped, pid_text);
  // Both pipe ends stay open in gcore: the dumped copy waits until they close.
  ::execl(plan.gcore.c_str(), "gcore", "-o", dump_name, pid_text, static_cast<char*>(nullptr));
  child_failure("ERROR: dump_core(): execlp(): ");
}

}  // namespace

// `path` is "<crash directory>/<report name>.core".
void dump_core(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const UniqueFd crash_fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!crash_fd) {
    write_line(std::cerr, "ERROR: dump_core(): open(): " + errno_string(errno));
    return;
  }
  std::string work_directory = path + ".XXXXXX";
  if (::mkdtemp(work_directory.data()) == nullptr) {
    write_line(std::cerr, "ERROR: dump_core(): mkdtemp(): " + errno_string(errno));
    return;
  }
  const std::string work_name = work_directory.substr(slash + 1);
  // In a crash directory that others may write, the new directory could have
  // been swapped for a link or a directory of theirs since mkdtemp made it.
  const UniqueFd work_fd(
      ::openat(crash_fd.get(), work_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat work_status {};
  if (!work_fd || ::fstat(work_fd.get(), &work_status) != 0 || work_status.st_uid != ::geteuid() ||
      (work_status.st_mode & 077) != 0) {
    write_line(std::cerr, "ERROR: dump_core(): " + work_directory + " was replaced; no core dump.");
    return;
  }
  const std::string name = path.substr(slash + 1);
  const DumpPlan plan{
      find_program("gcore"), find_program("gzip"), crash_fd.get(), work_fd.get(), work_name, name,
      name + ".gz"};
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error_number = errno;
    write_line(std::cerr, "ERROR: dump_core(): fork() gcore: " + errno_string(error_number));
    ::unlinkat(crash_fd.get(), work_name.c_str(), AT_REMOVEDIR);
    return;
  }
  if (pid == 0) run_gcore(plan);
  if (::waitpid(pid, nullptr, 0) != pid) {
    const int error_number = errno;
    write_line(std::cerr, "ERROR: dump_core(): waitpid(gcore_pid): " + errno_string(error_number));
  }
}

}  // namespace quarnix
