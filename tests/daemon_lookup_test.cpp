// Lookup, forget and paths of the real daemon, seen through its file map.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/read_log.hpp"
#include "tests/fixtures/sanitizers.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

struct stat stat_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

TEST(DaemonLookup, NamesResolveToOneRecordPerSourceInode) {
  MountGround ground;
  fs::create_directories(ground.source / "dir" / "sub");
  write_file(ground.source / "dir" / "file", "data");
  fs::create_hard_link(ground.source / "dir" / "file", ground.source / "hardlink");
  fs::create_symlink("dir/file", ground.source / "symlink");
  QuarnixMount mount(ground.source, ground.mountpoint, {"--log-reads"}, in_directory(ground.work));
  ASSERT_TRUE(mount.started());

  const struct stat file = stat_of(ground.mountpoint / "dir" / "file");
  const struct stat link = stat_of(ground.mountpoint / "hardlink");
  EXPECT_EQ(file.st_ino, link.st_ino);
  EXPECT_EQ(file.st_nlink, 2u);
  EXPECT_EQ(file.st_size, 4);
  EXPECT_TRUE(S_ISDIR(stat_of(ground.mountpoint / "dir" / "sub").st_mode));
  const struct stat symlink = stat_of(ground.mountpoint / "symlink");
  EXPECT_TRUE(S_ISLNK(symlink.st_mode));
  EXPECT_EQ(read_file(ground.mountpoint / "symlink"), "data");
  EXPECT_EQ(mount.unmount_and_wait(), 0);

  // One file-map line per record: the hard link shares the file's.
  const ReadLog log = read_log(ground.work);
  EXPECT_EQ(log.files,
            (std::vector<std::string>{"0\tdir", "1\tdir/file", "2\tdir/sub", "3\tsymlink"}));
  // Only reads are logged: the one of the symlink's target.
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("read\t1\t0\t", 0), 0u) << log.lines[0];
}

// A lookup resolves the inode's path again only for the operations log,
// read-ahead and materialization. The path of a known inode whose first name
// was removed behind the daemon's back cannot be resolved, which says so.
TEST(DaemonLookup, KnownInodesAreResolvedAgainOnlyWhenPathsAreUsed) {
  const std::string message = "get_path(): fstatat(f (deleted)) failed with errno 2";
  const struct {
    std::vector<std::string> options;
    bool resolved;
  } cases[] = {
      {{"--log-reads"}, true},
      {{"--ondemand"}, true},
      {{}, false},
  };
  for (const auto& [options, resolved] : cases) {
    MountGround ground;
    write_file(ground.source / "f", "data");
    fs::create_hard_link(ground.source / "f", ground.source / "g");
    QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    stat_of(ground.mountpoint / "f");
    fs::remove(ground.source / "f");
    EXPECT_EQ(stat_of(ground.mountpoint / "g").st_nlink, 1u);
    EXPECT_EQ(mount.unmount_and_wait(), 0);
    const std::string output = mount.process().out() + mount.process().err();
    EXPECT_EQ(output.find(message) != std::string::npos, resolved)
        << (options.empty() ? "no option" : options[0]) << ":\n"
        << output;
  }
}

TEST(DaemonLookup, MissingNamesAreCachedAsNegativeEntries) {
  MountGround ground;
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  struct stat info {};
  EXPECT_EQ(::stat((ground.mountpoint / "late").c_str(), &info), -1);
  EXPECT_EQ(errno, ENOENT);
  // Created behind the daemon's back: the negative entry still holds for a day.
  write_file(ground.source / "late", "x");
  EXPECT_EQ(::stat((ground.mountpoint / "late").c_str(), &info), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST(DaemonLookup, ForgottenInodesAreReleasedAndGetNewIds) {
  MountGround ground;
  write_file(ground.source / "file", "data");
  QuarnixMount mount(ground.source, ground.mountpoint, {"--log-reads", "--v", "4"},
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started());
  stat_of(ground.mountpoint / "file");
  EXPECT_TRUE(mount.wait_for_forget(stat_of(ground.source / "file").st_ino))
      << mount.process().err();
  stat_of(ground.mountpoint / "file");
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_EQ(read_log(ground.work).files, (std::vector<std::string>{"0\tfile", "1\tfile"}));
}

// A filesystem mounted inside the source tree is refused at each lookup; the
// rest of the tree is served as before.
TEST(DaemonLookup, MountpointsInTheSourceStayHidden) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  MountGround ground;
  write_file(ground.source / "file", "data");
  TmpfsMount other(ground.source / "other");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  for (int attempt = 0; attempt < 2; ++attempt) {
    struct stat info {};
    EXPECT_EQ(::stat((ground.mountpoint / "other").c_str(), &info), -1) << attempt;
    EXPECT_EQ(errno, EOPNOTSUPP) << attempt;
  }
  EXPECT_EQ(read_file(ground.mountpoint / "file"), "data");
}

// An export handle of a file of the mount.
struct ExportHandle {
  file_handle header;
  unsigned char bytes[MAX_HANDLE_SZ];
};

ExportHandle handle_of(const fs::path& path) {
  ExportHandle handle{};
  handle.header.handle_bytes = MAX_HANDLE_SZ;
  int mount_id = 0;
  EXPECT_EQ(::name_to_handle_at(AT_FDCWD, path.c_str(), &handle.header, &mount_id, 0), 0)
      << path << ": " << strerror(errno);
  return handle;
}

// The FUSE node id a handle names: its first two 32-bit words.
uint64_t node_id_of(const ExportHandle& handle) {
  uint32_t words[2];
  std::memcpy(words, handle.header.f_handle, sizeof words);
  return (uint64_t{words[0]} << 32) | words[1];
}

TEST(DaemonLookup, StaleExportHandleIsRefused) {
  MountGround ground;
  write_file(ground.source / "file", "data");
  QuarnixMount mount(ground.source, ground.mountpoint, {"--v", "4"});
  ASSERT_TRUE(mount.started());

  ExportHandle handle = handle_of(ground.mountpoint / "file");
  const int root = ::open(ground.mountpoint.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(root, 0);
  // While the inode is known the handle opens it.
  int fd = ::open_by_handle_at(root, &handle.header, O_RDONLY);
  EXPECT_GE(fd, 0) << strerror(errno);
  if (fd >= 0) ::close(fd);

  EXPECT_TRUE(mount.wait_for_forget(stat_of(ground.source / "file").st_ino));
  fd = ::open_by_handle_at(root, &handle.header, O_RDONLY);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(errno, ESTALE);
  if (fd >= 0) ::close(fd);
  ::close(root);
  // The daemon goes on serving.
  EXPECT_EQ(read_file(ground.mountpoint / "file"), "data");
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_EQ(mount.process().err().find("INTERNAL ERROR"), std::string::npos);
}

TEST(DaemonLookup, ExportHandleNeverOpensTheNextInodeAtItsNodeId) {
  if (sanitized_build)
    GTEST_SKIP() << "a sanitizer's allocator does not hand a freed record's memory to the next";
  MountGround ground;
  fs::create_directory(ground.source / "d1");
  fs::create_directory(ground.source / "d2");
  // One thread: the forgotten record's memory goes to the next one.
  QuarnixMount mount(ground.source, ground.mountpoint, {"--single", "--v", "4"});
  ASSERT_TRUE(mount.started());
  ExportHandle old_handle = handle_of(ground.mountpoint / "d1");
  ASSERT_TRUE(mount.wait_for_forget(stat_of(ground.source / "d1").st_ino));
  const ExportHandle new_handle = handle_of(ground.mountpoint / "d2");
  ASSERT_EQ(node_id_of(old_handle), node_id_of(new_handle)) << "the node id was not reused";

  const int root = ::open(ground.mountpoint.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(root, 0);
  const int fd = ::open_by_handle_at(root, &old_handle.header, O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(fd, -1);
  EXPECT_EQ(errno, ESTALE);
  if (fd >= 0) ::close(fd);
  ::close(root);
}

TEST(DaemonLookup, SourceOfRootGivesPlainRelativePaths) {
  MountGround ground;
  if (stat_of("/").st_dev != stat_of(ground.source).st_dev)
    GTEST_SKIP() << "the temporary directory is not on the root filesystem";
  write_file(ground.source / "file", "data");
  QuarnixMount mount("/", ground.mountpoint, {"--log-reads"}, in_directory(ground.work));
  ASSERT_TRUE(mount.started());
  const fs::path relative = fs::relative(ground.source / "file", "/");
  EXPECT_EQ(read_file(ground.mountpoint / relative), "data");
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  const auto files = read_log(ground.work).files;
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(files.back().substr(files.back().find('\t') + 1), relative.string());
}

}  // namespace
}  // namespace quarnix::testing
