#include "prefetchd/run_prefetch_daemon.hpp"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <memory>
#include <optional>
#include <string>

#include "prefetchd/descriptor_prefetch.hpp"
#include "prefetchd/prefetch_profile.hpp"
#include "prefetchd/prefetch_thread.hpp"
#include "prefetchd/prefetchd_options.hpp"
#include "prefetchd/tracer_loop.hpp"
#include "profile/block_id.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"
#include "tracesession/exec_tracer.hpp"
#include "tracesession/exit_status.hpp"
#include "tracesession/mountpoint.hpp"
#include "tracesession/read_trace.hpp"
#include "tracesession/tracer_end.hpp"
#include "tracesession/tracer_lifecycle.hpp"

namespace quarnix::prefetchd {

namespace {

using unique_file = std::unique_ptr<FILE, decltype(&fclose)>;

// What both run modes follow the trace with.
struct PrefetchRun {
  prefetch_state& readahead;
  std::uint32_t block_size;
  std::uint64_t max_blocks;
  const ino2hash_t& ino2hash;
};

ino2hash_t hash_scanned_paths(const ino2path_t& ino2path) {
  ino2hash_t ino2hash;
  for (const auto& [ino, path] : ino2path)
    ino2hash.emplace(ino, hash_path(path));
  return ino2hash;
}

// Follows `trace` with the prefetch thread running, then stops the thread and
// prints the statistics. `before_stop` runs between the two.
template <typename BeforeStop>
void follow_and_prefetch(const PrefetchRun& run, FILE* trace, bool replay, BeforeStop before_stop) {
  PrefetchThread prefetcher(run.readahead, run.block_size, run.max_blocks);
  tracer_loop(trace, &run.readahead, run.block_size, run.ino2hash, replay);
  log_info("Exiting...");
  before_stop();
  // Joined first, so that the statistics hold every prefetch.
  prefetcher.stop();
  print_readahead_stats(run.readahead);
}

// fopen opens a directory too, whose first read would then fail and pass
// for the end of an empty trace: a directory fails here with EISDIR.
unique_file open_test_trace(const std::string& path) {
  unique_file trace(fopen(path.c_str(), "r"), &fclose);
  struct stat status {};
  if (trace && fstat(fileno(trace.get()), &status) == 0 && S_ISDIR(status.st_mode)) {
    trace.reset();
    errno = EISDIR;
  }
  return trace;
}

int run_test_mode(const PrefetchRun& run, const std::string& testdata) {
  const unique_file trace = open_test_trace(testdata);
  if (!trace) {
    log_error(boost::format("Unable to read %s: %s") % testdata % strerror(errno));
    return exit_file_unavailable;
  }
  log_info(boost::format("Processing requests from %s...") % testdata);
  follow_and_prefetch(run, trace.get(), true, [] {});
  return 0;
}

void close_checked(UniqueFd& fd, const char* what) {
  if (::close(fd.release()) != 0) throw RuntimeError(what, errno);
}

// Reads the tracer's lines up to its start line: false when the pipe ends
// before it. Nothing is made of the tracer's end before its last line is read.
bool wait_for_handshake(FILE* trace) {
  char buffer[128];
  for (;;) {
    if (!fgets(buffer, sizeof buffer, trace)) {
      log_debug(1, "pipe was closed by tracer.");
      return false;
    }
    log_debug(1, boost::format("Tracer says: %s") % buffer);
    if (is_tracing_started(buffer)) return true;
    sleep(1);
  }
}

// The exit status once the tracer has ended.
int exit_status_after(int tracer_status) {
  return tracer_failed(tracer_status) ? exit_tracer_failed : termination_status();
}

// From the start of the tracer to the end of the run: the exit status.
int follow_tracer(const PrefetchRun& run, const char* argv0, std::uint64_t device,
                  UniqueFd& pipe_read, UniqueFd& pipe_write, std::optional<TracerLockFile>& lock) {
  const pid_t own_pid = getpid();
  const pid_t tracer = fork_tracer();
  if (tracer == 0) {
    close_checked(pipe_read, "close(pipefd[0])");
    // Our own prefetch reads are not to be traced.
    exec_tracer(argv0, pipe_write.release(), device, own_pid);
  }
  // Only here, after the fork: an interrupt from the terminal ends the
  // tracer, and the daemon then ends in order with its statistics.
  ignore_sigint();
  close_checked(pipe_write, "close(pipefd[1])");
  const unique_file trace(fdopen(pipe_read.get(), "r"), &fclose);
  if (!trace) throw RuntimeError("fdopen()", errno);
  pipe_read.release();

  if (!wait_for_handshake(trace.get())) {
    const int status = *wait_for_tracer_end(tracer, true);
    log_info("Tracer terminated, exiting.");
    return exit_status_after(status);
  }
  log_info("Processing requests...");
  lock->name_tracer(tracer);
  int status = 0;
  follow_and_prefetch(run, trace.get(), false, [&] {
    // The loop also stops at the line "exit", with the pipe still open: the
    // tracer may run on, and is ended rather than waited for.
    const bool trace_ended = feof(trace.get()) || ferror(trace.get());
    status = trace_ended ? *wait_for_tracer_end(tracer, true) : end_tracer(tracer);
    lock.reset();
  });
  return exit_status_after(status);
}

int run_tracer_mode(const PrefetchRun& run, const char* argv0, std::uint64_t device,
                    UniqueFd pipe_read, UniqueFd pipe_write) {
  log_info("Starting tracer...");
  // A request to end the daemon ends the tracer; the daemon then ends in
  // order, as after any end of the trace. Until the daemon ignores SIGINT
  // (once the tracer is forked), an interrupt is such a request too, so that
  // the lock file never outlives the daemon.
  end_tracer_on_termination();
  std::optional<TracerLockFile> lock = TracerLockFile::create("quarnix_prefetchd");
  if (!lock) return exit_file_unavailable;
  if (termination_status() != 0) return termination_status();
  return run_removing_files_after_failure(
      [&] { return follow_tracer(run, argv0, device, pipe_read, pipe_write, lock); },
      [&] { lock.reset(); });
}

}  // namespace

int run_prefetch_daemon(int argc, char** argv) {
  install_terminate_handler();
  const PrefetchdOptions options = parse_options(argc, argv);
  const std::uint64_t device = check_mountpoint(options.mountpoint);
  set_prefetch_tree(options.mountpoint, device);

  log_info("Loading profile...");
  prefetch_state readahead;
  const std::uint32_t block_size =
      load_prefetch_profile(options.profile, options.mountpoint, readahead);

  log_info("Scanning mountpoint...");
  const ino2hash_t ino2hash = hash_scanned_paths(scan_mountpoint(options.mountpoint));
  log_info(boost::format("Found %d files") % ino2hash.size());

  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    log_error(boost::format("pipe(): %s") % strerror(errno));
    return exit_file_unavailable;
  }
  UniqueFd pipe_read(pipe_fds[0]), pipe_write(pipe_fds[1]);

  const PrefetchRun run{readahead, block_size, options.max_blocks, ino2hash};
  if (options.testdata) return run_test_mode(run, *options.testdata);
  return run_tracer_mode(run, argv[0], device, std::move(pipe_read), std::move(pipe_write));
}

}  // namespace quarnix::prefetchd
