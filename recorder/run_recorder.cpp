#include "recorder/run_recorder.hpp"

#include <errno.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <chrono>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <string>

#include "recorder/recorder_options.hpp"
#include "recorder/translate_trace.hpp"
#include "support/errors.hpp"
#include "support/exclusive_files.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"
#include "tracesession/exec_tracer.hpp"
#include "tracesession/exit_status.hpp"
#include "tracesession/mountpoint.hpp"
#include "tracesession/read_trace.hpp"
#include "tracesession/tracer_end.hpp"
#include "tracesession/tracer_lifecycle.hpp"

namespace quarnix::recorder {

namespace {

// The raw trace and the read log, created under one base name just before the
// tracer starts; the raw trace is the tracer's alone to write.
struct RecorderFiles {
  std::string base;
  UniqueFd trace;
  ReadLogOutputs read_log;
  bool traced = false;  // once the tracer child runs

  // Where the recorder reads the raw trace: the very file it created, not
  // whatever might hold its name by then.
  std::string trace_reading_path() const { return "/proc/self/fd/" + std::to_string(trace.get()); }

  void remove(std::initializer_list<const char*> suffixes) const {
    for (const char* suffix : suffixes)
      unlink((base + suffix).c_str());
  }

  // After a failure the read log goes, since a part of one would pass for a
  // whole one; the raw trace stays once a tracer has run, as after a failed
  // tracer.
  void remove_after_failure() const {
    remove({".csv", "_files.csv"});
    if (!traced) remove({".trace"});
  }
};

// Names that others hold can keep the recorder from every name for as long
// as they like: after this long it gives up, as on a taken lock file.
constexpr std::chrono::seconds longest_wait_for_a_name{60};

// "bpf_oplog_" and the UTC start time. The raw trace is for the recorder's
// user alone; the read log is made to be shared, as any new file is. None
// when the wait for a free name ended: after an ERROR line, unless a request
// to end the recorder ended it.
std::optional<RecorderFiles> claim_recorder_files() {
  const NameWait wait{longest_wait_for_a_name, [] { return termination_status() != 0; }};
  ClaimedBaseName claim =
      claim_base_name("bpf_oplog_", {{".trace", 0600}, {".csv", 0666}, {"_files.csv", 0666}}, wait);
  if (claim.error == EEXIST) {
    if (termination_status() == 0)
      log_error(boost::format("Unable to create %s: %s") % claim.failed_path % strerror(EEXIST));
    return std::nullopt;
  }
  if (claim.error != 0)
    throw RuntimeError(boost::format("Unable to open %s") % claim.failed_path, claim.error);
  return RecorderFiles{claim.base, std::move(claim.files[0]),
                       ReadLogOutputs{std::move(claim.files[1]), std::move(claim.files[2])}};
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

// Polls once a second until the tracer has started or ended; once it has
// started, names it in the lock file until it ends. The tracer's wait status.
int wait_for_tracer(pid_t tracer, const std::string& trace_path, TracerLockFile& lock) {
  while (true) {
    if (const auto status = wait_for_tracer_end(tracer, false)) return *status;
    if (trace_has_started(trace_path)) {
      log_info("Gathering data...");
      lock.name_tracer(tracer);
      return *wait_for_tracer_end(tracer, true);
    }
    sleep(1);
  }
}

// From the start of the tracer to the end of the run: the exit status.
int record(const RecorderOptions& options, const char* argv0, uint64_t device,
           const ino2path_t& ino2path, RecorderFiles& files, std::optional<TracerLockFile>& lock) {
  const int excluded_pid = options.excluded_pid.value_or(getpid());
  const pid_t tracer = fork_tracer();
  if (tracer == 0) exec_tracer(argv0, files.trace.release(), device, excluded_pid);
  files.traced = true;

  const std::string trace_path = files.trace_reading_path();
  const int status = wait_for_tracer(tracer, trace_path, *lock);
  lock.reset();
  if (tracer_failed(status)) {
    files.remove({".csv", "_files.csv"});
    return exit_tracer_failed;
  }
  log_info("Tracing completed.");
  log_info("Translating trace data to read log...");
  translate_trace(files.base, trace_path, std::move(files.read_log), ino2path);
  if (!options.keep_raw && unlink((files.base + ".trace").c_str()) != 0)
    throw RuntimeError("unlink()", errno);
  return termination_status();
}

}  // namespace

int run_recorder(int argc, char** argv) {
  install_terminate_handler();
  const RecorderOptions options = parse_options(argc, argv);
  const uint64_t device = check_mountpoint(options.mountpoint);

  // From here a request to end the recorder ends the trace, which is then
  // translated as after any other end; one that comes before any tracer
  // starts (in the wait for a name, or cutting the scan short) ends the
  // recorder with nothing of its own left. The files are claimed before the
  // scan, as the messages tell, and removed again should the run fail before
  // it ends.
  end_tracer_on_termination();
  std::optional<RecorderFiles> claimed = claim_recorder_files();
  if (!claimed) return termination_status() != 0 ? termination_status() : exit_file_unavailable;
  RecorderFiles& files = *claimed;
  log_info(boost::format("Data will be written into %s.*.") % files.base);
  const auto end_before_tracer = [&](int status) {
    files.remove_after_failure();
    return status;
  };
  std::optional<TracerLockFile> lock;
  return run_removing_files_after_failure(
      [&] {
        log_info("Scanning mountpoint...");
        const ino2path_t ino2path = scan_mountpoint(options.mountpoint);
        if (termination_status() != 0) return end_before_tracer(termination_status());
        log_info(boost::format("Found %d files") % ino2path.size());
        log_info("Starting tracer...");
        // An interrupt from the terminal ends neither the recorder nor the
        // tracer forked later: tracing ends with the unmount.
        ignore_sigint();
        // The lock file cannot be assigned, only made in place.
        if (auto created = TracerLockFile::create("quarnix_recorder"))
          lock.emplace(std::move(*created));
        if (!lock) return end_before_tracer(exit_file_unavailable);
        if (termination_status() != 0) return end_before_tracer(termination_status());
        return record(options, argv[0], device, ino2path, files, lock);
      },
      [&] {
        lock.reset();
        files.remove_after_failure();
      });
}

}  // namespace quarnix::recorder
