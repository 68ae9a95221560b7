#include "prefetchd/prefetchd_options.hpp"

#include <boost/program_options.hpp>

#include "support/command_line.hpp"
#include "support/logging.hpp"
#include "tracesession/mountpoint.hpp"

namespace po = boost::program_options;

namespace quarnix::prefetchd {

namespace {

po::options_description option_table() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("log-level", po::value<std::string>()->default_value("info"),
       "Log level (one of error, warn, info, debugN)")
      ("max-blocks", po::value<std::uint64_t>()->default_value(50),
       "Maximum number of blocks to pre-fetch in a given state. Should be a fraction of the "
       "Quarnix cache capacity to prevent the cache being filled up completely with speculative "
       "data.")
      ("testdata", po::value<std::string>(),
       "Instead of running trace, read data from specified file. For testing only")
      ("help", "Print help");
  // clang-format on
  return options;
}

}  // namespace

std::string usage(const char* argv0) {
  return format_usage(argv0, " [options] <profile> <mountpoint>\n\n");
}

PrefetchdOptions parse_options(int argc, char** argv) {
  const po::options_description options = option_table();
  const po::variables_map vm =
      parse_command_line_or_exit(argc, argv, options, {"profile", "mountpoint"}, usage(argv[0]));
  if (vm.count("help")) print_help_and_exit(usage(argv[0]), options);
  parse_log_level(vm["log-level"].as<std::string>());

  PrefetchdOptions result;
  result.profile = vm["profile"].as<std::string>();
  result.mountpoint = resolve_mountpoint(vm["mountpoint"].as<std::string>());
  result.max_blocks = vm["max-blocks"].as<std::uint64_t>();
  if (vm.count("testdata")) result.testdata = vm["testdata"].as<std::string>();
  return result;
}

}  // namespace quarnix::prefetchd
