#include "recorder/run_recorder.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <fstream>
#include <optional>
#include <string>

#include "recorder/recorder_options.hpp"
#include "recorder/translate_trace.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"
#include "tracesession/exec_tracer.hpp"
#include "tracesession/mountpoint.hpp"
#include "tracesession/read_trace.hpp"
#include "tracesession/tracer_lifecycle.hpp"

namespace quarnix {

namespace {

constexpr int exit_tracer_failed = 9;

// "bpf_oplog_" and the UTC start time.
std::string read_log_base_name() {
  const time_t now = time(nullptr);
  tm utc{};
  gmtime_r(&now, &utc);
  return (boost::format("bpf_oplog_%04d%02d%02d_%02d%02d%02d") % (utc.tm_year + 1900) %
          (utc.tm_mon + 1) % utc.tm_mday % utc.tm_hour % utc.tm_min % utc.tm_sec)
      .str();
}

[[noreturn]] void start_tracer(const char* argv0, const std::string& base, uint64_t device,
                               int excluded_pid) {
  UniqueFd trace(open((base + ".trace").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
  if (!trace) throw RuntimeError("open()", errno);
  exec_tracer(argv0, trace.release(), device, excluded_pid);
}

// Reads the trace from its start; true once the tracer has said that tracing runs.
bool trace_has_started(const std::string& trace_path) {
  std::ifstream trace(trace_path);
  std::string line;
  while (trace.good()) {
    std::getline(trace, line);
    log_debug(1, boost::format("Data in trace file: %s") % line);
    if (is_tracing_started(line)) return true;
  }
  return false;
}

int wait_blocking(pid_t tracer) {
  int status = 0;
  if (waitpid(tracer, &status, 0) == -1) throw RuntimeError("waitpid()", errno);
  return status;
}

// Polls once a second until the tracer has started or ended; once it has
// started, names it in the lock file until it ends. The tracer's wait status.
int wait_for_tracer(pid_t tracer, const std::string& base) {
  const std::string lock_path = (boost::format("quarnix_recorder_%d.lck") % getpid()).str();
  while (true) {
    int status = 0;
    const pid_t ended = waitpid(tracer, &status, WNOHANG);
    if (ended == -1) throw RuntimeError("waitpid()", errno);
    if (ended == tracer) return status;
    if (trace_has_started(base + ".trace")) {
      log_info("Gathering data...");
      const TracerLockFile lock(lock_path, tracer);
      return wait_blocking(tracer);
    }
    sleep(1);
  }
}

}  // namespace

int run_recorder(int argc, char** argv) {
  install_terminate_handler();
  const RecorderOptions options = parse_options(argc, argv);
  const uint64_t device = check_mountpoint(options.mountpoint);
  const std::string base = read_log_base_name();
  log_info(boost::format("Data will be written into %s.*.") % base);

  log_info("Scanning mountpoint...");
  const ino2path_t ino2path = scan_mountpoint(options.mountpoint);
  log_info(boost::format("Found %d files") % ino2path.size());

  log_info("Starting tracer...");
  // Before the fork, so that an interrupt from the terminal ends neither the
  // tracer nor the recorder: tracing ends with the unmount.
  ignore_sigint();
  const int excluded_pid = options.excluded_pid.value_or(getpid());
  const pid_t tracer = fork();
  if (tracer < 0) throw RuntimeError("fork()", errno);
  if (tracer == 0) start_tracer(argv[0], base, device, excluded_pid);

  const int status = wait_for_tracer(tracer, base);
  if (WEXITSTATUS(status) != 0) {
    log_error("Tracer returned non-zero exit status, aborting.\n");
    return exit_tracer_failed;
  }
  log_info("Tracing completed.");
  log_info("Translating trace data to read log...");
  translate_trace(base, ino2path);
  if (!options.keep_raw && unlink((base + ".trace").c_str()) != 0)
    throw RuntimeError("unlink()", errno);
  return 0;
}

}  // namespace quarnix
