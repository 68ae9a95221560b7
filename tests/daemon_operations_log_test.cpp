// The operations log of the real daemon: names, line formats and ids.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <utility>

#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/read_log.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

TEST(OperationsLog, LogAllWritesOneLinePerOperation) {
  MountGround ground;
  write_file(ground.source / "file", std::string(8192, 'a'));
  QuarnixMount mount(ground.source, ground.mountpoint, {"--log-all"}, in_directory(ground.work));
  ASSERT_TRUE(mount.started());
  const fs::path m = ground.mountpoint;

  {  // id 0: file
    const int fd = ::open((m / "file").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buffer[4096];
    ASSERT_EQ(::pread(fd, buffer, sizeof buffer, 4096), 4096);
    ::close(fd);
  }
  ASSERT_EQ(::mkdir((m / "d").c_str(), 0755), 0);                          // id 1: d
  const int fd = ::open((m / "d" / "f").c_str(), O_CREAT | O_RDWR, 0644);  // id 2: d/f
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "0123456789", 10, 0), 10);
  ASSERT_EQ(::fsync(fd), 0);
  ASSERT_EQ(::fdatasync(fd), 0);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  ASSERT_EQ(::posix_fallocate(fd, 0, 4096), 0);
  ASSERT_EQ(::ftruncate(fd, 0), 0);
  ::close(fd);
  ASSERT_EQ(::chmod((m / "d" / "f").c_str(), 0600), 0);
  ASSERT_EQ(::chown((m / "d" / "f").c_str(), 1, 1), 0);
  const timespec times[2] = {{1000, 0}, {2000, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (m / "d" / "f").c_str(), times, 0), 0);
  ASSERT_EQ(::setxattr((m / "d" / "f").c_str(), "user.x", "value", 5, 0), 0);
  char value[16];
  ASSERT_EQ(::getxattr((m / "d" / "f").c_str(), "user.x", value, sizeof value), 5);
  ASSERT_GE(::listxattr((m / "d" / "f").c_str(), value, sizeof value), 0);
  ASSERT_EQ(::removexattr((m / "d" / "f").c_str(), "user.x"), 0);
  struct statvfs filesystem {};
  ASSERT_EQ(::statvfs(m.c_str(), &filesystem), 0);
  ASSERT_EQ(::link((m / "d" / "f").c_str(), (m / "hard").c_str()), 0);
  ASSERT_EQ(::rename((m / "d" / "f").c_str(), (m / "d" / "g").c_str()), 0);
  ASSERT_EQ(::unlink((m / "d" / "g").c_str()), 0);
  ASSERT_EQ(::symlink("file", (m / "sym").c_str()), 0);  // id 3: sym
  char target[16];
  ASSERT_EQ(::readlink((m / "sym").c_str(), target, sizeof target), 4);
  ASSERT_EQ(::mknod((m / "fifo").c_str(), S_IFIFO | 0600, 0), 0);  // id 4: fifo
  ASSERT_EQ(::rmdir((m / "d").c_str()), 0);
  EXPECT_EQ(mount.unmount_and_wait(), 0);

  const ReadLog log = read_log(ground.work);
  EXPECT_EQ(log.files,
            (std::vector<std::string>{"0\tfile", "1\td", "2\td/f", "3\tsym", "4\tfifo"}));
  const std::regex timestamp("[0-9]+\\.[0-9]{9}");
  for (const auto& time : log.timestamps)
    EXPECT_TRUE(std::regex_match(time, timestamp)) << time;
  // The lines of the requests that this thread waited for, in its order. The
  // kernel sends a release after the close has returned and lets any worker
  // thread take it, and a create is logged after its reply: those lines can
  // come later, and are checked apart.
  const std::vector<std::string> in_order = {"lookup\t0\tfile",
                                             "open\t0",
                                             "read\t0\t4096\t4096",
                                             "flush\t0",
                                             "lookup\t0\td",
                                             "mkdir\t0\td",
                                             "lookup\t1\tf",
                                             "write\t2\t0\t10",
                                             "fsync\t2\t0",
                                             "fsync\t2\t1",
                                             "flock\t2\t2",
                                             "fallocate\t2\t0\t4096",
                                             "setattr\t2\tSIZE\t0",
                                             "getattr\t2",
                                             "flush\t2",
                                             "setattr\t2\tMODE,",
                                             "getattr\t2",
                                             "setattr\t2\tUID,",
                                             "getattr\t2",
                                             "setattr\t2\tTIME,",
                                             "getattr\t2",
                                             "setxattr\t2\tuser.x\t5",
                                             "getxattr\t2\tuser.x",
                                             "listxattr\t2",
                                             "removexattr\t2\tuser.x",
                                             "statfs\t",
                                             "link\t2\t0\thard",
                                             "rename\t2\t1\tg",
                                             "unlink\t1\tg",
                                             "readlink\t3",
                                             "mknod\t0\tfifo",
                                             "rmdir\t0\td"};
  std::string missing;
  EXPECT_TRUE(contains_in_order(log.lines, in_order, &missing)) << "missing: " << missing;
  // Each after the line of the request that made it possible.
  const std::pair<std::string, std::string> later[] = {
      {"flush\t0", "release\t0"}, {"lookup\t1\tf", "create\t2\t33188"}, {"flush\t2", "release\t2"}};
  for (const auto& [before, line] : later)
    EXPECT_TRUE(contains_in_order(log.lines, {before, line})) << line;
}

TEST(OperationsLog, DirectoryListingsLogTheirEntryCount) {
  MountGround ground;
  for (int i = 0; i < 3; ++i)
    write_file(ground.source / ("f" + std::to_string(i)), "");
  QuarnixMount mount(ground.source, ground.mountpoint, {"--log-all"}, in_directory(ground.work));
  ASSERT_TRUE(mount.started());
  int count = 0;
  for (const auto& entry : fs::directory_iterator(ground.mountpoint)) {
    (void)entry;
    ++count;
  }
  EXPECT_EQ(count, 3);
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  const ReadLog log = read_log(ground.work);
  std::string listing;
  for (const auto& line : log.lines)
    listing += line + "\n";
  // The kernel may continue a listing with plain readdir.
  EXPECT_TRUE(std::regex_search(listing, std::regex("opendir\t0\n(.*\n)*readdirplus\t0\t3\tstart\n"
                                                    "(.*\n)*readdir(plus)?\t0\t0\tcontinue\n"
                                                    "(.*\n)*releasedir\t0\n")))
      << listing;
}

TEST(OperationsLog, LogReadsWritesOnlyReads) {
  MountGround ground;
  write_file(ground.source / "file", "data");
  QuarnixMount mount(ground.source, ground.mountpoint, {"--log-reads"}, in_directory(ground.work));
  ASSERT_TRUE(mount.started());
  EXPECT_EQ(read_file(ground.mountpoint / "file"), "data");
  ASSERT_EQ(::mkdir((ground.mountpoint / "d").c_str(), 0755), 0);
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  const ReadLog log = read_log(ground.work);
  for (const auto& line : log.lines)
    EXPECT_EQ(line.rfind("read\t0\t0\t", 0), 0u) << line;
  EXPECT_FALSE(log.lines.empty());
  EXPECT_EQ(log.files, (std::vector<std::string>{"0\tfile", "1\td"}));
}

// A name with a tab or a line break would break its line apart: such names
// are left out with a warning each, and the trainer reads the rest.
TEST(OperationsLog, NamesThatWouldBreakALineAreLeftOut) {
  const std::vector<std::string> awkward = {"tab\tname", "new\nline", "carriage\rreturn"};
  for (const std::string mode : {"--log-reads", "--log-all"}) {
    SCOPED_TRACE(mode);
    MountGround ground;
    write_file(ground.source / "plain", "plain");
    for (const auto& name : awkward)
      write_file(ground.source / name, "awkward");
    QuarnixMount mount(ground.source, ground.mountpoint, {mode}, in_directory(ground.work));
    ASSERT_TRUE(mount.started());
    for (const auto& name : awkward)
      EXPECT_EQ(read_file(ground.mountpoint / name), "awkward");
    EXPECT_EQ(read_file(ground.mountpoint / "plain"), "plain");
    EXPECT_EQ(mount.unmount_and_wait(), 0);

    const ReadLog log = read_log(ground.work);
    ASSERT_EQ(log.files.size(), 1u);
    const std::string plain_id = log.files[0].substr(0, log.files[0].find('\t'));
    EXPECT_EQ(log.files[0], plain_id + "\tplain");
    for (const auto& line : log.lines) {
      if (line.rfind("read\t", 0) == 0) {
        EXPECT_EQ(line.rfind("read\t" + plain_id + "\t", 0), 0u) << line;
      }
    }
    // Each name once in the file map, and with --log-all once more in its lookup line.
    const std::string err = mount.process().err();
    std::size_t warnings = 0;
    for (std::size_t at = err.find("WARNING: operations log: "); at != std::string::npos;
         at = err.find("WARNING: operations log: ", at + 1))
      ++warnings;
    EXPECT_EQ(warnings, awkward.size() * (mode == "--log-all" ? 2 : 1)) << err;
    EXPECT_NE(err.find("new\\nline"), std::string::npos) << err;

    const ProgramResult trained = run_program({QUARNIX_TRAINER_BINARY, ground.work.string()},
                                              in_directory(ground.root.path()));
    EXPECT_EQ(trained.status, 0) << trained.err;
  }
}

TEST(OperationsLog, DaemonsStartedInOneSecondKeepSeparateLogs) {
  MountGround first;
  MountGround second;
  write_file(first.source / "a", "a");
  write_file(second.source / "b", "b");
  {
    QuarnixMount one(first.source, first.mountpoint, {"--log-reads"}, in_directory(first.work));
    QuarnixMount two(second.source, second.mountpoint, {"--log-reads"}, in_directory(first.work));
    ASSERT_TRUE(one.started());
    ASSERT_TRUE(two.started());
    EXPECT_EQ(read_file(first.mountpoint / "a"), "a");
    EXPECT_EQ(read_file(second.mountpoint / "b"), "b");
    EXPECT_EQ(one.unmount_and_wait(), 0);
    EXPECT_EQ(two.unmount_and_wait(), 0);
  }
  const auto names = read_log_names(first.work);
  ASSERT_EQ(names.size(), 2u);
  std::vector<std::string> maps;
  for (const auto& name : names)
    maps.push_back(read_file(first.work / (name + "_files.csv")));
  std::sort(maps.begin(), maps.end());
  EXPECT_EQ(maps, (std::vector<std::string>{"0\ta\n", "0\tb\n"}));
}

// Run as root in a directory that another user can write, the daemon writes
// its log through no link that user planted under this or the next second's
// name: it takes a later name.
TEST(OperationsLog, PlantedNamesAreNeverWrittenThrough) {
  if (temp_parent_nobody_reaches().empty()) GTEST_SKIP() << no_temp_parent_nobody_reaches;
  MountGround ground;
  const TempDir shared(temp_parent_nobody_reaches());
  const fs::path work = shared / "work";
  fs::create_directory(work);
  share_directory(shared.path(), work);
  write_file(ground.source / "a", "a");
  const fs::path precious = ground.root / "precious";
  write_file(precious, "precious\n");
  const time_t now = time(nullptr);
  const std::string taken[] = {utc_base_name("oplog_", now), utc_base_name("oplog_", now + 1)};
  plant_as_nobody(work / (taken[0] + ".csv"), precious);
  plant_as_nobody(work / (taken[1] + "_files.csv"), precious);
  {
    QuarnixMount mount(ground.source, ground.mountpoint, {"--log-reads"}, in_directory(work));
    ASSERT_TRUE(mount.started());
    EXPECT_EQ(read_file(ground.mountpoint / "a"), "a");
    EXPECT_EQ(mount.unmount_and_wait(), 0);
  }
  EXPECT_EQ(read_file(precious), "precious\n");
  const std::string base = read_log_names(work).back();
  EXPECT_GT(base, taken[1]);
  EXPECT_FALSE(fs::is_symlink(work / (base + ".csv")));
  EXPECT_EQ(read_file(work / (base + "_files.csv")), "0\ta\n");
}

}  // namespace
}  // namespace quarnix::testing
