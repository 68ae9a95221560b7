#include "daemon/run_daemon.hpp"

#include <err.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <iostream>
#include <optional>

#include "daemon/daemon_state.hpp"
#include "daemon/fuse_session.hpp"
#include "daemon/materialization_placeholders.hpp"
#include "daemon/materialization_threads.hpp"
#include "daemon/open_files.hpp"
#include "daemon/operations.hpp"
#include "daemon/options.hpp"
#include "daemon/readahead_thread.hpp"
#include "daemon/standard_descriptors.hpp"
#include "daemon/statistics.hpp"
#include "support/command_line.hpp"
#include "support/ctype_cache.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace po = boost::program_options;

namespace quarnix {

namespace {

void raise_fd_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    warn("WARNING: getrlimit() failed with");
    return;
  }
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) warn("WARNING: setrlimit() failed with");
}

void check_paths(const std::string& source, const std::string& mountpoint) {
  struct stat info {};
  if (::lstat(mountpoint.c_str(), &info) != 0)
    err(1, "ERROR: failed to stat mountpoint (\"%s\")", mountpoint.c_str());
  if (!S_ISDIR(info.st_mode)) errx(1, "ERROR: mountpoint is not a directory");
  state.mountpoint = resolve_path(mountpoint);

  if (::lstat(source.c_str(), &info) != 0)
    err(1, "ERROR: failed to stat source (\"%s\")", source.c_str());
  if (!S_ISDIR(info.st_mode)) errx(1, "ERROR: source is not a directory");
  state.source_dev = info.st_dev;

  state.root.fd.reset(::open(source.c_str(), O_PATH | O_CLOEXEC));
  if (!state.root.fd) err(1, "ERROR: open(\"%s\", O_PATH)", source.c_str());
  state.source = resolve_path(source);
}

// Before anything can write into the cache file: the metadata read at the
// start must not outlive those writes in a crash.
void retire_cache_metadata() {
  if (!state.cache) return;
  try {
    state.cache->retire_metadata();
  } catch (const RuntimeError& error) {
    errx(1, "ERROR: %s", error.what());
  }
}

// A save that fails (no room, say) costs the cache its next start, not the
// orderly end of the daemon. Returns whether the metadata was saved.
bool save_cache_metadata() {
  try {
    state.cache->save();
    return true;
  } catch (const RuntimeError& error) {
    log_error(error.what());
    return false;
  }
}

// Mounts and serves until the loop ends; the session and everything libfuse
// set up for it are gone when this returns. Returns the exit status.
int serve(const char* argv0, const std::string& mountpoint, const po::variables_map& vm,
          ReadaheadThread& readahead_thread, MaterializationThreads& materialization_threads) {
  FuseArguments args;
  if (!args.add(argv0) || !args.add("-o") || !args.add("default_permissions,fsname=quarnix") ||
      (vm.count("debug-fuse") && !args.add("-odebug")))
    errx(3, "ERROR: Out of memory");

  fuse_lowlevel_ops ops{};
  ops_init(&ops);
  FuseSession session(args, ops, &state);
  // Parked operations are answered while their session still exists.
  struct StopMaterializationFirst {
    MaterializationThreads& threads;
    ~StopMaterializationFirst() { threads.stop(); }
  } stop_materialization_first{materialization_threads};
  if (!session.exists() || !session.install_signal_handlers()) return 1;
  ::umask(0);
  fuse_loop_config config{};
  config.clone_fd = 0;
  config.max_idle_threads = 10;
  if (!session.mount(mountpoint.c_str())) return 1;

  const int loop_status = vm.count("single") ? fuse_session_loop(session.get())
                                             : fuse_session_loop_mt(session.get(), &config);
  // A late prefetch must not change the cache after destroy has recorded it.
  readahead_thread.stop();
  destroy();
  return loop_status == 0 ? 0 : 1;
}

}  // namespace

int run_daemon(int argc, char** argv) {
  const StandardDescriptors descriptors = reopen_closed_standard_descriptors();
  fill_ctype_cache();
  install_terminate_handler();
  block_sigusr1();
  const po::variables_map vm = parse_options(argc, argv, descriptors);
  install_sigusr1_handler();
  StatisticsPrinter statistics_printer;
  raise_fd_limit();

  state.root.fd.reset();
  state.root.nlookup = 9999;
  state.root.is_symlink = false;
  state.timeout = 86400.0;

  const std::string source = vm["source"].as<std::string>();
  const std::string mountpoint = vm["mountpoint"].as<std::string>();
  check_paths(source, mountpoint);

  if (state.forgetmat)
    write_text(std::cerr, "WARNING: All dentries will be non-materialized on creation.\n");
  else if (vm.count("ondemand"))
    scan_for_placeholders();

  retire_cache_metadata();
  MaterializationThreads materialization_threads(vm.count("ondemand") > 0);
  ReadaheadThread readahead_thread;
  int status = serve(argv[0], mountpoint, vm, readahead_thread, materialization_threads);
  // Nothing fills the cache any more once the read-ahead thread has ended.
  readahead_thread.stop();
  if (state.cache) {
    if (!save_cache_metadata()) status = 1;
    print_cache_stats();
  }
  if (state.readahead) print_readahead_stats();
  // Its cached handles release their files while the inodes they hold, and the
  // streams they log to, still exist; nothing prints the statistics any more.
  statistics_printer.stop();
  state.readahead.reset();
  // Files and directories still open when the session ended are never
  // released by the kernel.
  open_files().free_all();
  open_directories().free_all();
  return status;
}

}  // namespace quarnix
