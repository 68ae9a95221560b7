// A failure inside an operation of the real daemon: the request is answered
// with EIO, a crash report and a core dump land in the crash directory, and
// the daemon goes on serving.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

TEST(DaemonCrashReport, FailingOperationIsAnsweredWithEioAndReported) {
  MountGround ground;
  // Named relative to the daemon's working directory, which the dump's
  // helpers leave for a directory of their own.
  const fs::path crashdir = ground.work / "crashes";
  fs::create_directories(crashdir);
  const fs::path cachefile = ground.root / "cache";
  write_file(cachefile, std::string(16 << 17, '\0'));
  write_file(ground.source / "fail-copy", std::string(4096, 'x'));
  write_file(ground.source / "fine", "fine");
  ProcessOptions options = in_directory(ground.work);
  options.environment = {std::string("LD_PRELOAD=") + FAIL_COPY_PRELOAD};
  QuarnixMount mount(ground.source, ground.mountpoint,
                     {"--cachefile", cachefile.string(), "--crashdir", "crashes"}, options);
  ASSERT_TRUE(mount.started()) << mount.process().err();

  const int fd = ::open((ground.mountpoint / "fail-copy").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buffer[4096];
  EXPECT_EQ(::pread(fd, buffer, sizeof buffer, 0), -1);
  EXPECT_EQ(errno, EIO);
  ::close(fd);
  EXPECT_EQ(read_file(ground.mountpoint / "fine"), "fine");

  // The kernel may ask more than once (read-ahead); each failure has its report.
  auto reports = files_ending_in(crashdir, ".txt");
  ASSERT_GE(reports.size(), 1u);
  std::sort(reports.begin(), reports.end());
  const std::string report = read_file(reports[0]);
  EXPECT_EQ(report.rfind("INTERNAL ERROR: copy_file_range(): Input/output error\n"
                         "Backtrace (decode with devtools/decode_backtrace):\n   ",
                         0),
            0u)
      << report;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  // The dump is done when it lies beside its report and its work directory is gone.
  auto holds_a_directory = [&] {
    return std::any_of(fs::directory_iterator(crashdir), fs::directory_iterator(),
                       [](const fs::directory_entry& entry) { return entry.is_directory(); });
  };
  while ((files_ending_in(crashdir, ".core.gz").empty() || holds_a_directory()) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(holds_a_directory()) << "the core dump's work directory was left behind";
  // At most one core dump a minute.
  EXPECT_EQ(files_ending_in(crashdir, ".core.gz").size(), 1u);
  // What describes the daemon's memory is readable by its owner alone.
  const auto others = fs::perms::others_all | fs::perms::group_all;
  EXPECT_EQ(fs::status(reports[0]).permissions() & others, fs::perms::none);
  for (const auto& dump : files_ending_in(crashdir, ".core.gz"))
    EXPECT_EQ(fs::status(dump).permissions() & others, fs::perms::none);
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_EQ(mount.process().out(), "");
}

// The name of report `counter` of the second `when` in `crashdir`, without suffix.
std::string report_base(const fs::path& crashdir, time_t when, int counter) {
  tm utc{};
  ::gmtime_r(&when, &utc);
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d_%02d-%02d-%02d_%02d", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, counter);
  return (crashdir / name).string();
}

TEST(DaemonCrashReport, LinksPlantedInTheCrashDirectoryAreNeverFollowed) {
  MountGround ground;
  const fs::path crashdir = ground.root / "crashes";
  fs::create_directories(crashdir);
  fs::permissions(crashdir, fs::perms::all);  // writable by anyone, no sticky bit
  const fs::path elsewhere = ground.root / "elsewhere";
  fs::create_directories(elsewhere);
  // For the next minute the first report name of every second, and the dump
  // names of the second one, are dangling links to files elsewhere.
  std::vector<fs::path> planted;
  const time_t now = ::time(nullptr);
  for (time_t when = now; when < now + 60; ++when) {
    for (const std::string& name :
         {report_base(crashdir, when, 0) + ".txt", report_base(crashdir, when, 1) + ".core",
          report_base(crashdir, when, 1) + ".core.gz"}) {
      planted.push_back(name);
      fs::create_symlink(elsewhere / std::to_string(planted.size()), name);
    }
  }
  write_file(ground.root / "cache", std::string(16 << 17, '\0'));
  write_file(ground.source / "fail-copy", std::string(4096, 'x'));
  ProcessOptions options = in_directory(ground.work);
  options.environment = {std::string("LD_PRELOAD=") + FAIL_COPY_PRELOAD};
  QuarnixMount mount(
      ground.source, ground.mountpoint,
      {"--cachefile", (ground.root / "cache").string(), "--crashdir", crashdir.string()}, options);
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_NE(read_file(ground.mountpoint / "fail-copy"), std::string(4096, 'x'));

  // The report took the next free name; the dump, whose final name is
  // taken, stays where gcore and gzip made it.
  std::vector<fs::path> reports;
  for (const auto& report : files_ending_in(crashdir, ".txt"))
    if (!fs::is_symlink(report)) reports.push_back(report);
  ASSERT_GE(reports.size(), 1u);
  EXPECT_EQ(reports[0].filename().string().substr(20), "01.txt");
  EXPECT_EQ(read_file(reports[0]).rfind("INTERNAL ERROR: ", 0), 0u);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (mount.process().err().find("ERROR: dump_core(): renameat2(): File exists") ==
             std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(mount.process().err().find("ERROR: dump_core(): renameat2(): File exists"),
            std::string::npos)
      << mount.process().err();
  EXPECT_TRUE(fs::is_empty(elsewhere));
  for (const auto& link : planted)
    EXPECT_TRUE(fs::is_symlink(link)) << link;
  const std::string base = reports[0].string().substr(0, reports[0].string().size() - 4);
  bool dump_kept = false;
  for (const auto& entry : fs::directory_iterator(crashdir))
    if (entry.path().string().rfind(base + ".core.", 0) == 0 && entry.is_directory())
      dump_kept = fs::exists(entry.path() / "core.gz");
  EXPECT_TRUE(dump_kept);
}

TEST(DaemonCrashReport, OpenFileLimitIsRaisedToTheHardLimit) {
  MountGround ground;
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  const std::string limits =
      read_file("/proc/" + std::to_string(mount.process().pid()) + "/limits");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(limits, match, std::regex("Max open files\\s+(\\d+)\\s+(\\d+)")))
      << limits;
  EXPECT_EQ(match[1], match[2]);
}

}  // namespace
}  // namespace quarnix::testing
