// The real quarnix_probe: command line, privilege checks and the bpftrace it
// starts (the stand-in of tests/fixtures/standin_bin).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/process.hpp"
#include "tests/fixtures/standin_bpftrace.hpp"
#include "tests/fixtures/temp_dir.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> as_nobody{"setpriv", "--reuid=65534", "--regid=65534",
                                         "--clear-groups"};

std::vector<std::string> command(std::vector<std::string> prefix,
                                 const std::vector<std::string>& arguments) {
  prefix.insert(prefix.end(), arguments.begin(), arguments.end());
  return prefix;
}

std::string usage_text() {
  const std::string probe = quarnix_probe_binary();
  return "Usage: " + probe + " --help\n       " + probe + " [options] <device-id>\n";
}

TEST(ProbeProgram, HelpNamesTheRootRequirementToOrdinaryUsers) {
  const std::string help =
      usage_text() +
      "\n"
      "Options:\n"
      "  --log-level arg (=info) Log level (one of error, warn, info, debugN)\n"
      "  --exclude-pid arg       Exclude requests from this pid.\n"
      "  --help                  Print help\n"
      "\n"
      "To get the device id for a mountpoint, run `stat -c %d <mountpoint>`.\n";
  const ProgramResult as_root = run_program({quarnix_probe_binary(), "--help"});
  EXPECT_EQ(as_root.status, 0);
  EXPECT_EQ(as_root.out, help);
  const ProgramResult ordinary =
      run_program(command(as_nobody, {quarnix_probe_binary(), "--help"}));
  EXPECT_EQ(ordinary.status, 0);
  EXPECT_EQ(ordinary.out, help + "This program must be run with root permissions.\n");
}

TEST(ProbeProgram, RefusesBadCommandLinesAndOrdinaryUsers) {
  struct Case {
    std::vector<std::string> command;
    std::string err;
  };
  const std::string probe = quarnix_probe_binary();
  const Case cases[] = {
      {{probe}, "Invalid number of arguments\n" + usage_text()},
      {{probe, "1", "2"}, "Invalid number of arguments\n" + usage_text()},
      {{probe, "abc"}, "Invalid device id: abc\n" + usage_text()},
      {{probe, "12x"}, "Invalid device id: 12x\n" + usage_text()},
      {{probe, "99999999999999999999"}, "Invalid device id: 99999999999999999999\n" + usage_text()},
      {{probe, "--exclude-pid", "x", "1"},
       "the argument ('x') for option '--exclude-pid' is invalid\n" + usage_text()},
      {command(as_nobody, {probe, "42"}),
       "This program must be installed setuid root (or run as root)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command.back());
    StandinBpftrace bpftrace;
    ProcessOptions options;
    bpftrace.add_to(options);
    const ProgramResult result = run_program(c.command, options);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, c.err);
    EXPECT_FALSE(bpftrace.ran());
  }
}

TEST(ProbeProgram, BecomesBpftraceWithTheScriptAndItsThreeParameters) {
  const std::string script = read_file(QUARNIX_PROBE_SCRIPT);
  for (const bool exclude : {false, true}) {
    SCOPED_TRACE(exclude ? "--exclude-pid" : "own pid");
    StandinBpftrace bpftrace;
    ProcessOptions options;
    bpftrace.add_to(options);
    TempDir outputs;
    std::vector<std::string> arguments{quarnix_probe_binary(), " 42"};
    if (exclude) arguments.insert(arguments.begin() + 1, {"--exclude-pid", "77"});
    Process probe(arguments, outputs / "probe", options);
    EXPECT_EQ(exit_status(probe.wait()), 0);
    EXPECT_EQ(probe.out(), standin_handshake);
    const std::string excluded = exclude ? "77" : std::to_string(probe.pid());
    EXPECT_EQ(bpftrace.arguments(), (std::vector<std::string>{"-e", script, "42", "0", excluded}));
    EXPECT_EQ(bpftrace.wait_for_pid(), probe.pid());
  }
}

TEST(ProbeProgram, ReportsABpftraceThatCannotBeExecuted) {
  ProcessOptions options;
  options.environment.push_back("PATH=/nonexistent");
  const ProgramResult result = run_program({quarnix_probe_binary(), "42"}, options);
  EXPECT_EQ(result.status, 7);
  EXPECT_EQ(result.err, "Failed to execute bpftrace: No such file or directory\n");
}

bool bpftrace_installed() {
  for (const char* directory : {"/usr/sbin", "/usr/bin", "/sbin", "/bin"})
    if (fs::exists(fs::path(directory) / "bpftrace")) return true;
  return false;
}

// A caller's PATH must not choose what a setuid probe runs as root.
TEST(ProbeProgram, SetuidProbeIgnoresTheCallersPath) {
  TempDir installed;
  fs::permissions(installed.path(), fs::perms::owner_all | fs::perms::group_read |
                                        fs::perms::group_exec | fs::perms::others_read |
                                        fs::perms::others_exec);
  const fs::path probe = installed / "quarnix_probe";
  fs::copy_file(quarnix_probe_binary(), probe);
  ASSERT_EQ(chown(probe.c_str(), 0, 0), 0);
  ASSERT_EQ(chmod(probe.c_str(), 04755), 0);

  StandinBpftrace bpftrace;
  ProcessOptions options;
  bpftrace.add_to(options);
  const ProgramResult result = run_program(command(as_nobody, {probe.string(), "42"}), options);
  EXPECT_FALSE(bpftrace.ran()) << result.out << result.err;
  EXPECT_NE(result.status, 0);
  if (!bpftrace_installed()) {
    EXPECT_EQ(result.status, 7);
    EXPECT_EQ(result.err, "Failed to execute bpftrace: No such file or directory\n");
  }
}

}  // namespace
}  // namespace quarnix::testing
