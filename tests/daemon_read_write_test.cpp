// File contents through the real daemon: reads, writes, holes, appends,
// truncation, fallocate, flock and extended attributes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/falloc.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>
#include <random>

#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

// A descriptor that closes itself.
class Fd {
 public:
  Fd(const fs::path& path, int flags, mode_t mode = 0644) : fd(::open(path.c_str(), flags, mode)) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd; }

 private:
  int fd;
};

class ReadWrite : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ReadWrite, RandomWritesAndReadsMatchTheSource) {
  MountGround ground;
  constexpr std::size_t file_size = 8 << 20;
  std::string model = random_bytes(file_size, 1);
  write_file(ground.source / "big", model);
  const ProcessOptions in_work = in_directory(ground.work);
  QuarnixMount mount(ground.source, ground.mountpoint, GetParam(), in_work);
  ASSERT_TRUE(mount.started());

  Fd file(ground.mountpoint / "big", O_RDWR);
  ASSERT_GE(file.get(), 0);
  std::mt19937 generator(2);
  for (int round = 0; round < 40; ++round) {
    // Sizes beyond one FUSE request (128 KiB), at unaligned offsets.
    const std::size_t size = 1 + generator() % (1 << 20);
    const std::size_t offset = generator() % (file_size - size);
    if (round % 2 == 0) {
      const std::string data = random_bytes(size, round + 100);
      ASSERT_EQ(::pwrite(file.get(), data.data(), size, static_cast<off_t>(offset)),
                static_cast<ssize_t>(size));
      model.replace(offset, size, data);
    } else {
      std::string data(size, '\0');
      ASSERT_EQ(::pread(file.get(), data.data(), size, static_cast<off_t>(offset)),
                static_cast<ssize_t>(size));
      ASSERT_EQ(data, model.substr(offset, size)) << "round " << round;
    }
  }
  ASSERT_EQ(::fsync(file.get()), 0);
  EXPECT_EQ(read_file(ground.source / "big"), model);
  drop_caches(3);
  EXPECT_EQ(read_file(ground.mountpoint / "big"), model);
}

INSTANTIATE_TEST_SUITE_P(Transfer, ReadWrite,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--nosplice"},
                                           std::vector<std::string>{"--log-all"}));

TEST(DaemonContents, SparseFilesKeepTheirHoles) {
  MountGround ground;
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  {
    Fd file(ground.mountpoint / "sparse", O_CREAT | O_RDWR);
    ASSERT_GE(file.get(), 0);
    ASSERT_EQ(::pwrite(file.get(), "end", 3, 100 << 20), 3);
  }
  struct stat info {};
  ASSERT_EQ(::stat((ground.source / "sparse").c_str(), &info), 0);
  EXPECT_EQ(info.st_size, (100 << 20) + 3);
  EXPECT_LT(info.st_blocks * 512, 1 << 20);
  Fd file(ground.mountpoint / "sparse", O_RDONLY);
  std::string hole(4096, 'x');
  ASSERT_EQ(::pread(file.get(), hole.data(), hole.size(), 50 << 20), 4096);
  EXPECT_EQ(hole, std::string(4096, '\0'));
}

TEST(DaemonContents, AppendsTruncationAndShortReads) {
  MountGround ground;
  write_file(ground.source / "log", "first\n");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  {
    Fd file(ground.mountpoint / "log", O_WRONLY | O_APPEND);
    ASSERT_GE(file.get(), 0);
    ASSERT_EQ(::write(file.get(), "second\n", 7), 7);
    ASSERT_EQ(::write(file.get(), "third\n", 6), 6);
  }
  EXPECT_EQ(read_file(ground.source / "log"), "first\nsecond\nthird\n");

  Fd reader(ground.mountpoint / "log", O_RDONLY);
  ASSERT_EQ(::truncate((ground.mountpoint / "log").c_str(), 3), 0);
  char buffer[64];
  EXPECT_EQ(::pread(reader.get(), buffer, sizeof buffer, 0), 3);
  EXPECT_EQ(std::string(buffer, 3), "fir");
  EXPECT_EQ(::pread(reader.get(), buffer, sizeof buffer, 10), 0);
  EXPECT_EQ(read_file(ground.source / "log"), "fir");
}

TEST(DaemonContents, FallocateServesOnlyPlainAllocation) {
  MountGround ground;
  write_file(ground.source / "file", "abc");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  Fd file(ground.mountpoint / "file", O_RDWR);
  ASSERT_EQ(::fallocate(file.get(), 0, 0, 1 << 20), 0);
  EXPECT_EQ(fs::file_size(ground.source / "file"), 1u << 20);
  EXPECT_EQ(::fallocate(file.get(), FALLOC_FL_KEEP_SIZE, 0, 2 << 20), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(::fallocate(file.get(), FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, 0, 4096), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(fs::file_size(ground.source / "file"), 1u << 20);
  EXPECT_EQ(read_file(ground.mountpoint / "file").substr(0, 4), std::string("abc\0", 4));
}

TEST(DaemonContents, FlockConflictsBetweenProcesses) {
  MountGround ground;
  write_file(ground.source / "lock", "");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  Fd held(ground.mountpoint / "lock", O_RDONLY);
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const int fd = ::open((ground.mountpoint / "lock").c_str(), O_RDONLY);
    const bool refused = ::flock(fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK;
    char answer = refused ? 'r' : 'a';
    ssize_t written = ::write(ready[1], &answer, 1);
    // Then wait for the lock, which the parent gives up.
    const bool granted = written == 1 && ::flock(fd, LOCK_EX) == 0;
    _exit(granted ? 0 : 1);
  }
  char answer = 0;
  ASSERT_EQ(::read(ready[0], &answer, 1), 1);
  EXPECT_EQ(answer, 'r');
  ASSERT_EQ(::flock(held.get(), LOCK_UN), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(DaemonContents, ExtendedAttributesPassThrough) {
  MountGround ground;
  write_file(ground.source / "file", "");
  fs::create_symlink("file", ground.source / "link");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  const std::string file = (ground.mountpoint / "file").string();

  EXPECT_EQ(::listxattr(file.c_str(), nullptr, 0), 0);
  ASSERT_EQ(::setxattr(file.c_str(), "user.five", "12345", 5, XATTR_CREATE), 0);
  EXPECT_EQ(::setxattr(file.c_str(), "user.five", "x", 1, XATTR_CREATE), -1);
  EXPECT_EQ(errno, EEXIST);
  ASSERT_EQ(::setxattr(file.c_str(), "user.empty", "", 0, 0), 0);
  EXPECT_EQ(::getxattr(file.c_str(), "user.five", nullptr, 0), 5);
  char value[16];
  EXPECT_EQ(::getxattr(file.c_str(), "user.five", value, 2), -1);
  EXPECT_EQ(errno, ERANGE);
  ASSERT_EQ(::getxattr(file.c_str(), "user.five", value, 5), 5);
  EXPECT_EQ(std::string(value, 5), "12345");
  EXPECT_EQ(::getxattr(file.c_str(), "user.empty", value, sizeof value), 0);
  EXPECT_EQ(::getxattr(file.c_str(), "user.none", value, sizeof value), -1);
  EXPECT_EQ(errno, ENODATA);

  const ssize_t list_size = ::listxattr(file.c_str(), nullptr, 0);
  EXPECT_EQ(list_size, static_cast<ssize_t>(sizeof "user.five" + sizeof "user.empty"));
  std::string names(static_cast<std::size_t>(list_size), '\0');
  EXPECT_EQ(::listxattr(file.c_str(), names.data(), names.size()), list_size);
  EXPECT_EQ(::listxattr(file.c_str(), names.data(), 3), -1);
  EXPECT_EQ(errno, ERANGE);

  ASSERT_EQ(::removexattr(file.c_str(), "user.five"), 0);
  EXPECT_EQ(::removexattr(file.c_str(), "user.five"), -1);
  EXPECT_EQ(errno, ENODATA);
  char source_value[16];
  EXPECT_EQ(::getxattr((ground.source / "file").c_str(), "user.empty", source_value, 16), 0);

  // Without a cache the drop command is an ordinary name, refused as the source refuses it.
  const int direct = ::setxattr((ground.source / "file").c_str(), "quarnix_drop_cache", "1", 1, 0);
  const int direct_errno = errno;
  EXPECT_EQ(::setxattr(file.c_str(), "quarnix_drop_cache", "1", 1, 0), direct);
  EXPECT_EQ(errno, direct_errno);

  // Symbolic links are refused (the kernel itself refuses user.* names on them).
  const std::string link = (ground.mountpoint / "link").string();
  EXPECT_EQ(::lgetxattr(link.c_str(), "trusted.x", value, sizeof value), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(::lsetxattr(link.c_str(), "trusted.x", "1", 1, 0), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
  EXPECT_EQ(::llistxattr(link.c_str(), value, sizeof value), -1);
  EXPECT_EQ(errno, EOPNOTSUPP);
}

}  // namespace
}  // namespace quarnix::testing
