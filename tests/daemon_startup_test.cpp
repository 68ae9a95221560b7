// Start-up checks, mounting and shutdown of the real daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/unique_fd.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

std::string usage_text() {
  const std::string binary = quarnix_binary();
  return "Usage: " + binary + " --help\n       " + binary + " [options] <source> <mountpoint>\n\n";
}

ProgramResult run_quarnix(std::vector<std::string> arguments, const ProcessOptions& options = {}) {
  arguments.insert(arguments.begin(), quarnix_binary());
  return run_program(arguments, options);
}

TEST(DaemonStartup, HelpPrintsUsageAndOptions) {
  const ProgramResult result = run_quarnix({"--help"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind(usage_text() + "Options:\n", 0), 0u) << result.out;
  for (const char* text :
       {"--v arg (=2)", "Log level (0: error, 1: warn, 2: info", "3+: debug\n",
        "--download-blocksize arg (=10485760)", "--cache-blocksize arg (=131072)",
        "--disable-vfscache", "Run single-threaded (for testing only)"})
    EXPECT_NE(result.out.find(text), std::string::npos) << text;
  EXPECT_EQ(result.out.substr(result.out.size() - 2), "\n\n");
  EXPECT_EQ(result.err, "");
}

TEST(DaemonStartup, CommandLineErrorsExitWithUsage) {
  TempDir directory;
  const std::string dir = directory.path().string();
  struct Case {
    std::vector<std::string> arguments;
    std::string first_line;
  };
  const std::vector<Case> cases = {
      {{dir}, "Invalid number of arguments"},
      {{dir, dir, dir}, "Invalid number of arguments"},
      {{"--no-such-option", dir, dir}, "unrecognised option '--no-such-option'"},
      {{"--v", "x", dir, dir}, "the argument ('x') for option '--v' is invalid"},
      {{"--cache-blocksize", "0", dir, dir},
       "the argument ('0') for option '--cache-blocksize' must be a positive number of bytes"},
      {{"--download-blocksize", "-1", dir, dir},
       "the argument ('-1') for option '--download-blocksize' must be a positive number of bytes"},
      {{"--forgetmat", dir, dir},
       "--forgetmat requires --ondemand: reads of its placeholders would wait forever"},
  };
  for (const auto& test_case : cases) {
    const ProgramResult result = run_quarnix(test_case.arguments);
    EXPECT_EQ(result.status, 2) << test_case.first_line;
    EXPECT_EQ(result.err, test_case.first_line + "\n" + usage_text());
    EXPECT_EQ(result.out, "");
  }
}

TEST(DaemonStartup, OptionChecksHaveTheirExitStatus) {
  TempDir directory;
  const std::string dir = directory.path().string();
  const std::string cachefile = (directory / "cache").string();
  write_file(cachefile, std::string(1 << 20, '\0'));

  ProgramResult result = run_quarnix(
      {"--ondemand", "--cachefile", cachefile, "--download-blocksize", "131073", dir, dir});
  EXPECT_EQ(result.status, 5);
  EXPECT_EQ(result.err,
            "quarnix: Download blocksize must be integer multiple of cache blocksize.\n");

  result = run_quarnix({"--readahead-profile", (directory / "missing").string(), dir, dir});
  EXPECT_EQ(result.status, 6);
  EXPECT_EQ(result.err, "quarnix: Readahead requires caching to be enabled.\n");
}

TEST(DaemonStartup, PathChecks) {
  TempDir directory;
  fs::create_directory(directory / "dir");
  fs::create_directory_symlink(directory / "dir", directory / "link");
  write_file(directory / "file", "x");
  const std::string dir = (directory / "dir").string();
  const std::string missing = (directory / "missing").string();

  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{dir, missing},
       "quarnix: ERROR: failed to stat mountpoint (\"" + missing +
           "\"): No such file or directory\n"},
      {{dir, (directory / "link").string()}, "quarnix: ERROR: mountpoint is not a directory\n"},
      {{dir, (directory / "file").string()}, "quarnix: ERROR: mountpoint is not a directory\n"},
      {{missing, dir},
       "quarnix: ERROR: failed to stat source (\"" + missing + "\"): No such file or directory\n"},
      {{(directory / "link").string(), dir}, "quarnix: ERROR: source is not a directory\n"},
  };
  for (const auto& test_case : cases) {
    const ProgramResult result = run_quarnix(test_case.arguments);
    EXPECT_EQ(result.status, 1) << test_case.message;
    EXPECT_EQ(result.err, test_case.message);
  }
}

// A standard descriptor the daemon starts without is never taken by a file
// it opens: with --ondemand standard input and output are the peer's channel
// and must be there, any other closed one is /dev/null from the start.
TEST(DaemonStartup, ClosedStandardDescriptors) {
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::vector<int> closed;
    bool refused;
  };
  const std::vector<Case> cases = {{"ondemand without input", {"--ondemand"}, {0}, true},
                                   {"ondemand without output", {"--ondemand"}, {1}, true},
                                   {"ondemand without error", {"--ondemand"}, {2}, false},
                                   {"none of the three", {}, {0, 1, 2}, false}};
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    MountGround ground;
    const fs::path cachefile = ground.root / "cache";
    write_file(cachefile, std::string(4 << 17, '\0'));
    std::vector<std::string> options = test_case.options;
    options.insert(options.end(), {"--log-reads", "--cachefile", cachefile.string()});
    ProcessOptions process_options;
    process_options.working_directory = ground.work;
    process_options.closed_fds = test_case.closed;
    QuarnixMount mount(ground.source, ground.mountpoint, options, process_options);
    if (test_case.refused) {
      EXPECT_FALSE(mount.started());
      EXPECT_EQ(exit_status(mount.process().wait()), 1);
      EXPECT_NE(mount.process().err().find("ERROR: --ondemand needs the materialization peer"),
                std::string::npos)
          << mount.process().err();
      // Refused before the logs or the cache file were opened.
      EXPECT_TRUE(fs::is_empty(ground.work));
      EXPECT_FALSE(fs::exists(cachefile.string() + ".meta"));
      continue;
    }
    ASSERT_TRUE(mount.started()) << mount.process().err();
    const std::string descriptors = "/proc/" + std::to_string(mount.process().pid()) + "/fd/";
    for (const int fd : test_case.closed)
      EXPECT_EQ(fs::read_symlink(descriptors + std::to_string(fd)), "/dev/null") << fd;
    EXPECT_EQ(mount.unmount_and_wait(), 0);
  }
}

TEST(DaemonMount, ServesAndPrintsStatisticsOnSigusr1) {
  MountGround ground;
  write_file(ground.source / "file", "contents");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started()) << mount.process().err();

  mount.process().signal(SIGUSR1);
  const std::string expected = "INFO: Cache not active.\nINFO: Read-ahead not active.\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (mount.process().err() != expected && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(mount.process().err(), expected);
  EXPECT_EQ(read_file(ground.mountpoint / "file"), "contents");

  // At exit only active parts report.
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_EQ(mount.process().err(), expected);
  EXPECT_EQ(mount.process().out(), "");
}

TEST(DaemonMount, Sigusr1LeavesTheCallsItInterruptsAlone) {
  MountGround ground;
  write_file(ground.source / "lock", "");
  QuarnixMount mount(ground.source, ground.mountpoint, {"--single"});
  ASSERT_TRUE(mount.started()) << mount.process().err();
  // Held on the source itself, the lock blocks the daemon's one thread in
  // its flock for the client below.
  const UniqueFd held(::open((ground.source / "lock").c_str(), O_RDONLY));
  ASSERT_TRUE(held);
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  Process client({"flock", "-x", (ground.mountpoint / "lock").string(), "true"},
                 ground.work / "flock");
  const std::string syscall = "/proc/" + std::to_string(mount.process().pid()) + "/syscall";
  EXPECT_TRUE(holds_within([&] {
    return read_file(syscall).rfind(std::to_string(SYS_flock) + " ", 0) == 0;
  })) << read_file(syscall);

  mount.process().signal(SIGUSR1);
  EXPECT_TRUE(holds_within(
      [&] { return mount.process().err().find("INFO: Cache not active.") != std::string::npos; }));
  ASSERT_EQ(::flock(held.get(), LOCK_UN), 0);
  EXPECT_EQ(exit_status(client.wait()), 0) << client.err();
}

TEST(DaemonMount, TerminationBySignalExitsOne) {
  for (int signal_number : {SIGTERM, SIGINT}) {
    MountGround ground;
    QuarnixMount mount(ground.source, ground.mountpoint, {"--single"});
    ASSERT_TRUE(mount.started()) << mount.process().err();
    // A signal that lands between libfuse's test of its exit flag and its
    // next read of the device is only seen with the next one: send again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (mount.process().running() && std::chrono::steady_clock::now() < deadline) {
      mount.process().signal(signal_number);
      // Once handled, the shutdown restores the default action: give it time
      // to end before sending again.
      const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(3);
      while (mount.process().running() && std::chrono::steady_clock::now() < settle)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(exit_status(mount.process().wait()), 1);
    EXPECT_FALSE(is_mounted(ground.mountpoint));
  }
}

TEST(DaemonMount, FailedMountExitsOneAfterSavingTheCache) {
  MountGround ground;
  const fs::path cachefile = ground.root / "cache";
  write_file(cachefile, std::string(4 << 17, '\0'));
  const std::string command = "mount --make-rprivate / && mount --bind /dev/null /dev/fuse && " +
                              quarnix_binary() + " --cachefile " + cachefile.string() + " " +
                              ground.source.string() + " " + ground.mountpoint.string();
  const ProgramResult result = run_program({"unshare", "-m", "sh", "-c", command});
  EXPECT_EQ(result.status, 1) << result.err;
  EXPECT_NE(result.err.find("INFO: Cache stats: 0 hits, 0 misses.\n"), std::string::npos)
      << result.err;
  EXPECT_TRUE(fs::exists(cachefile.string() + ".meta"));
  // The daemon's own files are its own, whatever umask it serves with.
  EXPECT_EQ(fs::status(cachefile.string() + ".meta").permissions() & fs::perms::others_write,
            fs::perms::none);
  EXPECT_FALSE(is_mounted(ground.mountpoint));
}

TEST(DaemonStartup, UnwritableWorkingDirectoryForTheLog) {
  MountGround ground;
  fs::permissions(ground.root.path(), fs::perms::others_exec, fs::perm_options::add);
  fs::permissions(ground.work,
                  fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_exec);
  // As root the directory is still writable; a user without rights gets the message.
  const ProgramResult result =
      run_program({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", quarnix_binary(),
                   "--log-reads", ground.source.string(), ground.mountpoint.string()},
                  in_directory(ground.work));
  EXPECT_NE(result.status, 0);
  EXPECT_TRUE(std::regex_search(
      result.err, std::regex("INTERNAL ERROR: Unable to open oplog_\\d{8}_\\d{6}\\.csv\n")))
      << result.err;
}

// The capabilities asked for in init, as libfuse's debug output shows them.
struct InitReply {
  unsigned long flags = 0;
  unsigned long max_readahead = 0;
};

InitReply init_reply_of(const std::vector<std::string>& options) {
  MountGround ground;
  std::vector<std::string> all_options{"--debug-fuse"};
  all_options.insert(all_options.end(), options.begin(), options.end());
  const ProcessOptions in_work = in_directory(ground.work);
  QuarnixMount mount(ground.source, ground.mountpoint, all_options, in_work);
  EXPECT_TRUE(mount.started());
  // The mount shows before init is answered; the kernel holds any request
  // until it is, so one stat keeps the unmount from overtaking init.
  struct stat info {};
  EXPECT_EQ(::stat(ground.mountpoint.c_str(), &info), 0) << std::strerror(errno);
  mount.unmount_and_wait();
  const std::string err = mount.process().err();
  std::smatch match;
  InitReply reply;
  EXPECT_TRUE(std::regex_search(
      err, match,
      std::regex("INIT: \\d+\\.\\d+\n\\s+flags=0x([0-9a-f]+)\n\\s+max_readahead=0x([0-9a-f]+)")))
      << err;
  if (match.size() == 3) {
    reply.flags = std::stoul(match[1], nullptr, 16);
    reply.max_readahead = std::stoul(match[2], nullptr, 16);
  }
  return reply;
}

TEST(DaemonMount, InitAsksForTheCapabilitiesOfTheOptions) {
  // Kernel protocol bits; the splice capabilities are libfuse's own and do not show here.
  constexpr unsigned long export_support = 1 << 4, flock_locks = 1 << 10, writeback = 1 << 16;
  const InitReply plain = init_reply_of({});
  EXPECT_EQ(plain.flags & (export_support | flock_locks | writeback),
            export_support | flock_locks | writeback);
  EXPECT_NE(plain.max_readahead, 0u);

  const InitReply log_all = init_reply_of({"--log-all"});
  EXPECT_EQ(log_all.flags & writeback, 0u);
  EXPECT_EQ(log_all.max_readahead, 0u);

  const InitReply log_reads = init_reply_of({"--log-reads"});
  EXPECT_EQ(log_reads.flags & writeback, writeback);
  EXPECT_NE(log_reads.max_readahead, 0u);
}

}  // namespace
}  // namespace quarnix::testing
