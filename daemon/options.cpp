#include "daemon/options.hpp"

#include <err.h>

#include <iostream>

#include "daemon/block_size_option.hpp"
#include "daemon/crash_report.hpp"
#include "daemon/daemon_state.hpp"
#include "daemon/readahead_profile.hpp"
#include "support/command_line.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace po = boost::program_options;

namespace quarnix {

std::string usage(const char* argv0) {
  return format_usage(argv0, " [options] <source> <mountpoint>\n\n");
}

namespace {

po::options_description option_table() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("v", po::value<int>()->default_value(2), "Log level (0: error, 1: warn, 2: info, 3+: debug")
      ("debug-fuse", "Enable debugging messages from libfuse")
      ("help", "Print help")
      ("ondemand", "Enable on-demand acquisition of file contents.")
      ("download-blocksize", po::value<BlockSizeOption>()->default_value(BlockSizeOption{10485760}),
       "Blocksize to use for on-demand content acquisition. Must be an integer multiple of cache "
       "blocksize. Default: 10 MB.")
      ("log-all", "Log all requests (also disables caching, may break applications that use mmap)")
      ("log-reads", "Log read requests")
      ("cachefile", po::value<std::string>(),
       "Cache data in this file (must already exist with desired size)")
      ("cache-blocksize", po::value<BlockSizeOption>()->default_value(BlockSizeOption{131072}),
       "Blocksize to use for caching and readahead. Default: 128 kB.")
      ("readahead-profile", po::value<std::string>(),
       "Load readahead profile from this file and enable profile-based readahead.")
      ("nosplice", po::bool_switch(&state.nosplice), "Do not use splice(2) to transfer data")
      ("disable-vfscache", "Disable kernel-side caching (does not affect the use of --cachefile")
      ("forgetmat", po::bool_switch(&state.forgetmat),
       "All dentries start non-materialized. INTERNAL USE ONLY.")
      ("crashdir", po::value<std::string>(),
       "Directory for saving error information. If not specified, only print messages to "
       "stderr.")
      ("swallow-odirect", po::bool_switch(&state.swallow_odirect),
       "Do not pass the O_DIRECT flag through to the underlying filesystem.")
      ("delay-reads", po::value<double>(&delay_reads),
       "Artifically delay reads from the source directory (but not cache). If positive, limit to "
       "this many bytes per second. If negative, delay each individual request by this many "
       "seconds.")
      ("single", "Run single-threaded (for testing only)");
  // clang-format on
  return options;
}

// Option combinations that cannot work: refused like any bad command line.
void refuse(const char* argv0, const std::string& message) {
  std::cerr << message << std::endl << usage(argv0);
  std::exit(2);
}

}  // namespace

po::variables_map parse_options(int argc, char** argv, const StandardDescriptors& descriptors) {
  const po::options_description options = option_table();
  po::variables_map vm =
      parse_command_line_or_exit(argc, argv, options, {"source", "mountpoint"}, usage(argv[0]));
  if (vm.count("help")) print_help_and_exit(usage(argv[0]), options);

  log_level = vm["v"].as<int>();
  state.download_blocksize = vm["download-blocksize"].as<BlockSizeOption>().bytes;
  state.cache_blocksize = static_cast<uint64_t>(vm["cache-blocksize"].as<BlockSizeOption>().bytes);

  if (state.forgetmat && !vm.count("ondemand"))
    refuse(argv[0],
           "--forgetmat requires --ondemand: reads of its placeholders would wait forever");

  state.ondemand = vm.count("ondemand") > 0;
  if (state.ondemand) {
    // Before the cache file or the logs are opened.
    require_materialization_channel(descriptors);
    log_stdout_threshold = 5;
    if ((vm.count("cachefile") || vm.count("readahead-profile")) &&
        static_cast<uint64_t>(state.download_blocksize) % state.cache_blocksize != 0)
      errx(5, "Download blocksize must be integer multiple of cache blocksize.");
  }
  if (vm.count("cachefile")) {
    // A cache file that cannot serve ends the start with its reason.
    try {
      state.cache.emplace(vm["cachefile"].as<std::string>(), state.cache_blocksize,
                          write_crash_report_line);
    } catch (const RuntimeError& error) {
      errx(1, "ERROR: %s", error.what());
    }
  }
  if (vm.count("crashdir")) state.crashdir = vm["crashdir"].as<std::string>();
  if (vm.count("readahead-profile")) {
    if (!vm.count("cachefile")) errx(6, "Readahead requires caching to be enabled.");
    load_readahead_profile(vm["readahead-profile"].as<std::string>());
  }
  state.vfs_cache = !vm.count("disable-vfscache");
  if (vm.count("log-reads") || vm.count("log-all")) state.oplog.open(vm.count("log-all") > 0);
  return vm;
}

}  // namespace quarnix
