#include "daemon/crash_report.hpp"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>
#include <vector>

#include "daemon/daemon_state.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

constexpr int max_report_files = 10000;
constexpr time_t core_dump_interval = 60;

int fatal_error_count = 0;
time_t last_core_dump = 0;
std::mutex report_mutex;

// A report for standard error, written as one piece when it ends so that
// it does not interleave with the lines of other threads.
class StandardErrorReport : public std::ostringstream {
 public:
  ~StandardErrorReport() override { write_text(std::cerr, str()); }
};

std::unique_ptr<std::ostream> standard_error_stream() {
  return std::make_unique<StandardErrorReport>();
}

// The full path of `program` along PATH, found before forking: the children
// may only make async-signal-safe calls.
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

[[noreturn]] void child_failure(const char* what) {
  const int error_number = errno;
  write_text(what);
  write_text(strerrordesc_np(error_number) ? strerrordesc_np(error_number) : "Unknown error");
  write_text("\n");
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

// Runs in the forked copy of the daemon: waits for gcore to finish with it,
// puts the dump under its final name and becomes gzip.
[[noreturn]] void compress_own_dump(int read_end, int write_end, const std::string& path,
                                    const std::string& gzip) {
  ::close(write_end);
  char byte;
  while (::read(read_end, &byte, 1) < 0 && errno == EINTR) {
  }
  // gcore names the dump "<path>.<pid>".
  char pid_text[24];
  format_decimal(::getpid(), pid_text);
  char dump_name[4096];
  const std::size_t length = path.size();
  if (length + 1 + strlen(pid_text) + 1 <= sizeof dump_name) {
    memcpy(dump_name, path.c_str(), length);
    dump_name[length] = '.';
    strcpy(dump_name + length + 1, pid_text);
    ::rename(dump_name, path.c_str());
  }
  ::execl(gzip.c_str(), "gzip", path.c_str(), static_cast<char*>(nullptr));
  _exit(7);
}

}  // namespace

void dump_core(const std::string& path) {
  const std::string gcore = find_program("gcore");
  const std::string gzip = find_program("gzip");
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error_number = errno;
    write_line(std::cerr, "ERROR: dump_core(): fork() gcore: " + errno_string(error_number));
    return;
  }
  if (pid > 0) {
    if (::waitpid(pid, nullptr, 0) != pid) {
      const int error_number = errno;
      write_line(std::cerr,
                 "ERROR: dump_core(): waitpid(gcore_pid): " + errno_string(error_number));
    }
    return;
  }
  // Child: standard output and input may be the materialization channel.
  ::dup2(STDERR_FILENO, STDOUT_FILENO);
  const int nothing = ::open("/dev/null", O_RDONLY);
  if (nothing > STDIN_FILENO) {
    ::dup2(nothing, STDIN_FILENO);
    ::close(nothing);
  }
  ::umask(077);
  int fds[2];
  if (::pipe2(fds, 0) != 0) child_failure("ERROR: dump_core(): pipe2(): ");
  const pid_t dumped = ::fork();
  if (dumped < 0) child_failure("ERROR: dump_core(): fork() dump: ");
  if (dumped == 0) compress_own_dump(fds[0], fds[1], path, gzip);
  char pid_text[24];
  format_decimal(dumped, pid_text);
  // Both pipe ends stay open in gcore: the dumped copy waits until they close.
  ::execl(gcore.c_str(), "gcore", "-o", path.c_str(), pid_text, static_cast<char*>(nullptr));
  child_failure("ERROR: dump_core(): execlp(): ");
}

std::unique_ptr<std::ostream> open_crash_report() {
  std::lock_guard lock(report_mutex);
  if (!state.crashdir) return standard_error_stream();

  const time_t now = ::time(nullptr);
  tm utc{};
  ::gmtime_r(&now, &utc);
  std::string base;
  for (int counter = 0;; ++counter) {
    if (counter == 99) {
      write_line(std::cerr, "ERROR: No available filename in --crashdir");
      return standard_error_stream();
    }
    base = (boost::format("%s/%04d-%02d-%02d_%02d-%02d-%02d_%02d") % *state.crashdir %
            (utc.tm_year + 1900) % (utc.tm_mon + 1) % utc.tm_mday % utc.tm_hour % utc.tm_min %
            utc.tm_sec % counter)
               .str();
    struct stat existing {};
    if (::stat((base + ".txt").c_str(), &existing) != 0 && errno == ENOENT) break;
  }

  // Reports and dumps describe the daemon's memory: its owner alone reads them.
  ::close(::open((base + ".txt").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  auto report = std::make_unique<std::ofstream>(base + ".txt", std::ios::out | std::ios::trunc);
  if (++fatal_error_count > max_report_files) {
    const char* warning =
        "WARNING: High fatal error count. Further messages will be written  to stderr and not "
        "saved to --crashdir.";
    write_line(std::cerr, warning);
    *report << warning << std::endl;
    state.crashdir.reset();
  }
  if (state.crashdir && now - last_core_dump > core_dump_interval) {
    dump_core(base + ".core");
    last_core_dump = now;
  }
  return report;
}

}  // namespace quarnix
