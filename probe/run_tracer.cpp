#include "probe/run_tracer.hpp"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <boost/program_options.hpp>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "probe/read_trace_script.hpp"
#include "support/command_line.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace po = boost::program_options;

namespace quarnix::probe {

namespace {

constexpr int exit_bad_command_line = 2;
constexpr int exit_exec_failed = 7;

// Where a setuid probe looks for bpftrace: a caller's PATH must not choose
// what runs as root.
const char* const trusted_path = "/usr/sbin:/usr/bin:/sbin:/bin";

struct ProbeSettings {
  int64_t device_id = 0;
  int excluded_pid = 0;
};

std::string usage(const char* argv0) {
  return format_usage(argv0, " [options] <device-id>\n");
}

po::options_description option_table() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("log-level", po::value<std::string>()->default_value("info"),
       "Log level (one of error, warn, info, debugN)")
      ("exclude-pid", po::value<int>(), "Exclude requests from this pid.")
      ("help", "Print help");
  // clang-format on
  return options;
}

[[noreturn]] void print_help(const char* argv0, const po::options_description& options) {
  std::cout << usage(argv0) << "\n"
            << options << "\n"
            << "To get the device id for a mountpoint, run `stat -c %d <mountpoint>`.\n";
  if (geteuid() != 0) std::cout << "This program must be run with root permissions.\n";
  std::exit(0);
}

// A decimal number after optional leading white space, and nothing else.
std::optional<int64_t> parse_device_id(const std::string& text) {
  const char* begin = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*begin)))
    ++begin;
  const char* const end = text.c_str() + text.size();
  if (*begin == '+') ++begin;
  int64_t value = 0;
  const auto [stop, error] = std::from_chars(begin, end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

ProbeSettings parse_options(int argc, char** argv) {
  const po::options_description options = option_table();
  const po::variables_map vm =
      parse_command_line_or_exit(argc, argv, options, {"dev_id"}, usage(argv[0]));
  if (vm.count("help")) print_help(argv[0], options);

  ProbeSettings settings;
  settings.excluded_pid = vm.count("exclude-pid") ? vm["exclude-pid"].as<int>() : getpid();
  parse_log_level(vm["log-level"].as<std::string>());
  const std::string dev_id = vm["dev_id"].as<std::string>();
  const std::optional<int64_t> device_id = parse_device_id(dev_id);
  if (!device_id) exit_with_usage("Invalid device id: " + dev_id, usage(argv[0]));
  settings.device_id = *device_id;
  return settings;
}

// Run setuid by another user, the probe passes bpftrace nothing of the
// caller's environment; run by root it keeps it.
void confine_environment() {
  if (getuid() == geteuid()) return;
  clearenv();
  setenv("PATH", trusted_path, 1);
}

}  // namespace

void run_tracer(int argc, char** argv) {
  install_terminate_handler();
  const ProbeSettings settings = parse_options(argc, argv);
  if (geteuid() != 0) {
    std::cerr << "This program must be installed setuid root (or run as root)\n";
    std::exit(exit_bad_command_line);
  }

  const std::string device = (boost::format("%d") % settings.device_id).str();
  const std::string user = (boost::format("%d") % getuid()).str();
  const std::string excluded_pid = (boost::format("%d") % settings.excluded_pid).str();
  confine_environment();
  execlp("bpftrace", "bpftrace", "-e", fuse_read_trace_script.c_str(), device.c_str(), user.c_str(),
         excluded_pid.c_str(), nullptr);

  const int error_number = errno;
  std::cerr << "Failed to execute bpftrace: " << errno_string(error_number) << "\n";
  std::exit(exit_exec_failed);
}

}  // namespace quarnix::probe
