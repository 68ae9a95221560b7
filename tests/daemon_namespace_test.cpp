// Names, attributes and directories through the real daemon, compared with
// the same operations on a native directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "tests/fixtures/quarnix_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

// The same starting tree in a native directory and in a mounted source.
void make_tree(const fs::path& root) {
  write_file(root / "f", "file contents");
  fs::create_directories(root / "d");
  write_file(root / "d" / "x", "x contents");
  fs::create_directories(root / "e");
  fs::create_symlink("f", root / "s");
}

struct Outcome {
  int result;
  int error;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Outcome& outcome) {
  return out << "result " << outcome.result << ", errno " << outcome.error << " ("
             << strerror(outcome.error) << ")";
}

Outcome outcome_of(int result) {
  return {result < 0 ? -1 : result, result < 0 ? errno : 0};
}

std::string describe(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return "missing";
  std::string text = "mode " + std::to_string(info.st_mode) + " size " +
                     std::to_string(S_ISDIR(info.st_mode) ? 0 : info.st_size) + " links " +
                     std::to_string(info.st_nlink) + " owner " + std::to_string(info.st_uid) + ":" +
                     std::to_string(info.st_gid);
  if (S_ISREG(info.st_mode)) text += " data " + read_file(path);
  if (S_ISLNK(info.st_mode)) text += " target " + fs::read_symlink(path).string();
  return text;
}

struct Step {
  const char* name;
  std::function<int(const fs::path&)> operation;
  std::vector<std::string> inspect;  // paths whose state must agree afterwards
};

int fd_call(const fs::path& path, int flags, const std::function<int(int)>& call) {
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return -1;
  const int result = call(fd);
  const int error = errno;
  ::close(fd);
  errno = error;
  return result;
}

const std::vector<Step>& steps() {
  static const std::vector<Step> all = {
      {"stat missing",
       [](auto r) {
         struct stat s;
         return ::stat((r / "missing").c_str(), &s);
       },
       {}},
      {"mkdir existing", [](auto r) { return ::mkdir((r / "e").c_str(), 0755); }, {"e"}},
      {"mkdir new", [](auto r) { return ::mkdir((r / "n").c_str(), 0750); }, {"n"}},
      {"mkdir under file", [](auto r) { return ::mkdir((r / "f" / "n").c_str(), 0750); }, {}},
      {"rmdir not empty", [](auto r) { return ::rmdir((r / "d").c_str()); }, {"d"}},
      {"rmdir file", [](auto r) { return ::rmdir((r / "f").c_str()); }, {"f"}},
      {"rmdir missing", [](auto r) { return ::rmdir((r / "missing").c_str()); }, {}},
      {"unlink directory", [](auto r) { return ::unlink((r / "d").c_str()); }, {"d"}},
      {"unlink missing", [](auto r) { return ::unlink((r / "missing").c_str()); }, {}},
      {"create exclusive existing",
       [](auto r) { return fd_call(r / "f", O_CREAT | O_EXCL | O_WRONLY, [](int) { return 0; }); },
       {"f"}},
      {"create new",
       [](auto r) {
         return fd_call(r / "new", O_CREAT | O_WRONLY,
                        [](int fd) { return (int)::write(fd, "abc", 3); });
       },
       {"new"}},
      {"rename replaces target",
       [](auto r) { return ::rename((r / "new").c_str(), (r / "d" / "x").c_str()); },
       {"new", "d/x"}},
      {"rename directory over non-empty",
       [](auto r) { return ::rename((r / "n").c_str(), (r / "d").c_str()); },
       {"n", "d"}},
      {"rename directory over empty",
       [](auto r) { return ::rename((r / "n").c_str(), (r / "e").c_str()); },
       {"n", "e"}},
      {"rename missing",
       [](auto r) { return ::rename((r / "missing").c_str(), (r / "y").c_str()); },
       {"y"}},
      {"link",
       [](auto r) { return ::link((r / "d" / "x").c_str(), (r / "hl").c_str()); },
       {"hl", "d/x"}},
      {"link existing name",
       [](auto r) { return ::link((r / "f").c_str(), (r / "hl").c_str()); },
       {"hl"}},
      {"link directory",
       [](auto r) { return ::link((r / "d").c_str(), (r / "dl").c_str()); },
       {"dl"}},
      {"link symlink",
       [](auto r) {
         return ::linkat(AT_FDCWD, (r / "s").c_str(), AT_FDCWD, (r / "sl").c_str(), 0);
       },
       {"sl", "s"}},
      {"unlink link", [](auto r) { return ::unlink((r / "hl").c_str()); }, {"hl", "d/x"}},
      {"symlink", [](auto r) { return ::symlink("somewhere", (r / "s2").c_str()); }, {"s2"}},
      {"symlink existing", [](auto r) { return ::symlink("x", (r / "f").c_str()); }, {"f"}},
      {"readlink of file",
       [](auto r) {
         char t[16];
         return (int)::readlink((r / "f").c_str(), t, sizeof t);
       },
       {}},
      {"chmod", [](auto r) { return ::chmod((r / "f").c_str(), 0604); }, {"f"}},
      {"chown", [](auto r) { return ::chown((r / "f").c_str(), 12, 34); }, {"f"}},
      {"lchown symlink", [](auto r) { return ::lchown((r / "s").c_str(), 5, 6); }, {"s"}},
      {"truncate shorter", [](auto r) { return ::truncate((r / "f").c_str(), 4); }, {"f"}},
      {"truncate longer", [](auto r) { return ::truncate((r / "f").c_str(), 20); }, {"f"}},
      {"truncate directory", [](auto r) { return ::truncate((r / "d").c_str(), 0); }, {"d"}},
      {"ftruncate open file",
       [](auto r) { return fd_call(r / "f", O_RDWR, [](int fd) { return ::ftruncate(fd, 2); }); },
       {"f"}},
      {"mknod fifo",
       [](auto r) { return ::mknod((r / "fifo").c_str(), S_IFIFO | 0640, 0); },
       {"fifo"}},
      {"mknod existing",
       [](auto r) { return ::mknod((r / "f").c_str(), S_IFIFO | 0640, 0); },
       {"f"}},
      {"open missing",
       [](auto r) { return fd_call(r / "missing", O_RDONLY, [](int) { return 0; }); },
       {}},
      {"open directory for writing",
       [](auto r) { return fd_call(r / "d", O_WRONLY, [](int) { return 0; }); },
       {}},
      {"rmdir empty", [](auto r) { return ::rmdir((r / "e").c_str()); }, {"e"}},
  };
  return all;
}

TEST(DaemonNamespace, OperationsBehaveAsOnTheSource) {
  MountGround ground;
  TempDir native;
  make_tree(native.path());
  make_tree(ground.source);
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());

  for (const Step& step : steps()) {
    const Outcome expected = outcome_of(step.operation(native.path()));
    const Outcome actual = outcome_of(step.operation(ground.mountpoint));
    EXPECT_EQ(actual, expected) << step.name;
    for (const auto& path : step.inspect)
      EXPECT_EQ(describe(ground.mountpoint / path), describe(native.path() / path))
          << step.name << ": " << path;
  }
  // What the mount shows is what the source holds.
  for (const auto& entry : fs::recursive_directory_iterator(ground.source)) {
    const fs::path relative = entry.path().lexically_relative(ground.source);
    EXPECT_EQ(describe(ground.mountpoint / relative), describe(entry.path())) << relative;
  }
}

TEST(DaemonNamespace, TimesAndFlagsOfRename) {
  MountGround ground;
  make_tree(ground.source);
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  const fs::path f = ground.mountpoint / "f";

  const timespec times[2] = {{1000000, 500}, {2000000, 700}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), times, 0), 0);
  struct stat info {};
  ASSERT_EQ(::stat((ground.source / "f").c_str(), &info), 0);
  EXPECT_EQ(info.st_atim.tv_sec, 1000000);
  EXPECT_EQ(info.st_mtim.tv_sec, 2000000);
  EXPECT_EQ(info.st_mtim.tv_nsec, 700);
  const timespec only_mtime_now[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
  ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), only_mtime_now, 0), 0);
  ASSERT_EQ(::stat((ground.source / "f").c_str(), &info), 0);
  EXPECT_EQ(info.st_atim.tv_sec, 1000000);
  EXPECT_GT(info.st_mtim.tv_sec, 2000000);
  // Times of a symlink itself.
  ASSERT_EQ(::utimensat(AT_FDCWD, (ground.mountpoint / "s").c_str(), times, AT_SYMLINK_NOFOLLOW),
            0);
  ASSERT_EQ(::lstat((ground.source / "s").c_str(), &info), 0);
  EXPECT_EQ(info.st_mtim.tv_sec, 2000000);

  // Exchange and no-replace are not served.
  EXPECT_EQ(::renameat2(AT_FDCWD, f.c_str(), AT_FDCWD, (ground.mountpoint / "g").c_str(),
                        RENAME_NOREPLACE),
            -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_TRUE(fs::exists(ground.source / "f"));
  // Across filesystems the kernel refuses before the daemon is asked.
  TempDir outside;
  EXPECT_EQ(::rename(f.c_str(), (outside / "f").c_str()), -1);
  EXPECT_EQ(errno, EXDEV);

  struct statvfs through {
  }, direct{};
  ASSERT_EQ(::statvfs(ground.mountpoint.c_str(), &through), 0);
  ASSERT_EQ(::statvfs(ground.source.c_str(), &direct), 0);
  EXPECT_EQ(through.f_blocks, direct.f_blocks);
  EXPECT_EQ(through.f_bsize, direct.f_bsize);
  EXPECT_EQ(through.f_files, direct.f_files);
}

std::vector<std::string> list(const fs::path& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (!dir) return names;
  while (dirent* entry = ::readdir(dir))
    names.push_back(entry->d_name);
  ::closedir(dir);
  return names;
}

TEST(DaemonDirectories, LargeListingsAreCompleteWithoutDots) {
  MountGround ground;
  std::set<std::string> expected;
  for (int i = 0; i < 1500; ++i) {
    const std::string name = "entry_with_a_longer_name_" + std::to_string(i);
    write_file(ground.source / name, "");
    expected.insert(name);
  }
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  for (int pass = 0; pass < 2; ++pass) {
    const auto names = list(ground.mountpoint);
    EXPECT_EQ(names.size(), expected.size());
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
  }
}

TEST(DaemonDirectories, EntriesVanishingDuringAListingLoseOrRepeatNoOtherName) {
  MountGround ground;
  constexpr int count = 3000;
  for (int i = 0; i < count; ++i)
    write_file(ground.source / ("name" + std::to_string(i)), "");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  // Odd names vanish from the source while the mount is listed, so that some
  // of them disappear between the daemon's reading of its stream and its lookup.
  std::thread remover([&] {
    for (int i = count - 1; i > 0; i -= 2)
      fs::remove(ground.source / ("name" + std::to_string(i)));
  });
  const auto names = list(ground.mountpoint);
  remover.join();
  std::set<std::string> unique(names.begin(), names.end());
  EXPECT_EQ(unique.size(), names.size()) << "a name was listed twice";
  for (int i = 0; i < count; i += 2)
    EXPECT_TRUE(unique.count("name" + std::to_string(i))) << i;
  for (const auto& name : unique)
    EXPECT_EQ(name.rfind("name", 0), 0u);
}

// A large directory listed whole once, then read part-way through another
// handle; a change and a third handle make the kernel fill its cache anew,
// and the second handle then goes on at an offset of the first listing,
// which is still known.
TEST(DaemonDirectories, AHandleGoesOnInALargeDirectoryAfterAChange) {
  MountGround ground;
  constexpr int count = 5000;
  for (int i = 0; i < count; ++i)
    write_file(ground.source / ("n" + std::to_string(i)), "");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  ASSERT_EQ(list(ground.mountpoint).size(), std::size_t{count});
  DIR* dir = ::opendir(ground.mountpoint.c_str());
  ASSERT_NE(dir, nullptr);
  std::multiset<std::string> seen;
  while (const dirent* entry = ::readdir(dir)) {
    if (std::string name = entry->d_name; name != "." && name != "..") seen.insert(name);
    if (seen.size() != 2000) continue;
    // The change drops the kernel's cache, and another handle fills it anew.
    write_file(ground.mountpoint / "made", "");
    DIR* other = ::opendir(ground.mountpoint.c_str());
    ASSERT_NE(other, nullptr);
    for (int i = 0; i < 100 && ::readdir(other); ++i) {
    }
    ::closedir(other);
  }
  ::closedir(dir);
  int not_once = 0;
  for (int i = 0; i < count; ++i)
    not_once += seen.count("n" + std::to_string(i)) == 1 ? 0 : 1;
  EXPECT_EQ(not_once, 0) << "names listed twice or not at all";
  EXPECT_EQ(mount.process().err().find("unknown offset"), std::string::npos);
}

TEST(DaemonDirectories, SeekingInAListingResumesAfterTheNamedEntry) {
  MountGround ground;
  for (int i = 0; i < 400; ++i)
    write_file(ground.source / ("n" + std::to_string(i)), "");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  const auto all = list(ground.mountpoint);

  DIR* dir = ::opendir(ground.mountpoint.c_str());
  ASSERT_NE(dir, nullptr);
  std::vector<std::pair<std::string, long>> positions;
  while (dirent* entry = ::readdir(dir))
    positions.emplace_back(entry->d_name, ::telldir(dir));
  ASSERT_EQ(positions.size(), all.size());
  // Jump back to several places; each continues with the next name.
  for (std::size_t i : {std::size_t{250}, std::size_t{10}, std::size_t{390}, std::size_t{100}}) {
    ::seekdir(dir, positions[i].second);
    dirent* entry = ::readdir(dir);
    ASSERT_NE(entry, nullptr) << i;
    EXPECT_EQ(entry->d_name, positions[i + 1].first) << i;
  }
  ::closedir(dir);

  // A directory listed empty and then rewound shows the names made since.
  ASSERT_EQ(::mkdir((ground.mountpoint / "empty").c_str(), 0755), 0);
  dir = ::opendir((ground.mountpoint / "empty").c_str());
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(::readdir(dir), nullptr);
  write_file(ground.mountpoint / "empty" / "made", "");
  ::rewinddir(dir);
  const dirent* made = ::readdir(dir);
  EXPECT_TRUE(made && std::string(made->d_name) == "made");
  ::closedir(dir);
}

// Lists a directory with getdents64 in 1 KiB reads, fewer bytes than the
// kernel asks the daemon for: each read resumes at the offset of the last
// entry that fitted, not where the daemon's reply ended. `between` runs after
// every read. How often each name was listed.
std::map<std::string, int> list_in_small_reads(const fs::path& directory,
                                               const std::function<void()>& between) {
  std::map<std::string, int> names;
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_GE(fd, 0) << directory;
  alignas(8) char buffer[1024];
  long length;
  while ((length = ::syscall(SYS_getdents64, fd, buffer, sizeof buffer)) > 0) {
    for (long position = 0; position < length;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + position);
      ++names[entry->d_name];
      position += entry->d_reclen;
    }
    between();
  }
  EXPECT_EQ(length, 0) << strerror(errno);
  ::close(fd);
  return names;
}

TEST(DaemonDirectories, ListingsResumeAtEveryOffsetHandedOut) {
  MountGround ground;
  constexpr int count = 5000;
  // Two directories: the kernel may answer a second listing of one from its own cache.
  for (const char* directory : {"still", "changing"}) {
    fs::create_directory(ground.source / directory);
    for (int i = 0; i < count; ++i)
      write_file(ground.source / directory / ("n" + std::to_string(i)), "");
  }
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());

  std::map<std::string, int> native;
  for (const auto& entry : fs::directory_iterator(ground.source / "still"))
    ++native[entry.path().filename().string()];
  std::map<std::string, int> listed = list_in_small_reads(ground.mountpoint / "still", [] {});
  listed.erase(".");
  listed.erase("..");
  EXPECT_EQ(listed, native);

  // Names come and go through the mount while it is listed: the ones that
  // stay are listed exactly once, the others at most once.
  const fs::path changing = ground.mountpoint / "changing";
  int step = 0;
  listed = list_in_small_reads(changing, [&] {
    write_file(changing / ("new" + std::to_string(step)), "");
    fs::remove(changing / ("n" + std::to_string(count - 1 - step)));
    ++step;
  });
  ASSERT_GT(step, 10);
  for (int i = 0; i < count - step; ++i)
    EXPECT_EQ(listed["n" + std::to_string(i)], 1) << i;
  for (const auto& [name, times] : listed)
    EXPECT_LE(times, 1) << name;
}

}  // namespace
}  // namespace quarnix::testing
