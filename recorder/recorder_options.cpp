#include "recorder/recorder_options.hpp"

#include <boost/program_options.hpp>

#include "support/command_line.hpp"
#include "support/logging.hpp"
#include "tracesession/mountpoint.hpp"

namespace po = boost::program_options;

namespace quarnix::recorder {

namespace {

po::options_description option_table() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("log-level", po::value<std::string>()->default_value("info"),
       "Log level (one of error, warn, info, debugN)")
      ("exclude-pid", po::value<int>(), "Exclude requests from this pid.")
      ("keep-raw", "Do not delete raw tracer data.")
      ("help", "Print help");
  // clang-format on
  return options;
}

}  // namespace

std::string usage(const char* argv0) {
  return format_usage(argv0, " [options] <mountpoint>\n\n");
}

RecorderOptions parse_options(int argc, char** argv) {
  const po::options_description options = option_table();
  const po::variables_map vm =
      parse_command_line_or_exit(argc, argv, options, {"mountpoint"}, usage(argv[0]));
  if (vm.count("help")) print_help_and_exit(usage(argv[0]), options);
  parse_log_level(vm["log-level"].as<std::string>());

  RecorderOptions result;
  result.mountpoint = resolve_mountpoint(vm["mountpoint"].as<std::string>());
  if (vm.count("exclude-pid")) result.excluded_pid = vm["exclude-pid"].as<int>();
  result.keep_raw = vm.count("keep-raw") > 0;
  return result;
}

}  // namespace quarnix::recorder
