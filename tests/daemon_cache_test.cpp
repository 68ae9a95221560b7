// The block cache through the real daemon: hits and misses, eviction,
// restarts with the metadata file, no stale bytes after changes, and a cache
// file whose filesystem is full.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <thread>

#include "tests/daemon_cache_fixtures.hpp"
#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

TEST(DaemonCache, ReadsAreServedFromTheCacheAndCounted) {
  CacheGround ground(16);
  const std::string data = random_bytes(4 * chunk + 1000, 1);
  write_file(ground.source / "file", data);
  // --log-all turns the kernel's read-ahead and page cache off: one pread, one request.
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  const fs::path file = ground.mountpoint / "file";

  EXPECT_EQ(read_range(file, 1000, 2 * chunk), data.substr(1000, 2 * chunk));        // miss
  EXPECT_EQ(read_range(file, 1000, 2 * chunk), data.substr(1000, 2 * chunk));        // hit
  EXPECT_EQ(read_range(file, 0, chunk), data.substr(0, chunk));                      // hit
  EXPECT_EQ(read_range(file, 4 * chunk, 5000), data.substr(4 * chunk));              // miss, short
  EXPECT_EQ(read_range(file, 4 * chunk + 500, 5000), data.substr(4 * chunk + 500));  // hit
  EXPECT_EQ(read_range(file, 4 * chunk + 1000, 5000), "");                           // hit, at end
  const CacheStats stats = stats_now(mount);
  EXPECT_EQ(stats.hits, 4);
  EXPECT_EQ(stats.misses, 2);

  // The drop command empties the file's chunks: the next read misses.
  ASSERT_EQ(::setxattr(file.c_str(), "quarnix_drop_cache", "", 0, 0), 0);
  EXPECT_EQ(read_range(file, 0, chunk), data.substr(0, chunk));
  EXPECT_EQ(stats_now(mount).misses, 3);
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_NE(mount.process().err().find("INFO: Cache stats: 4 hits, 3 misses.\n"),
            std::string::npos);
}

TEST(DaemonCache, MetadataCarriesTheCacheAcrossRestarts) {
  CacheGround ground(16);
  const std::string data = random_bytes(3 * chunk, 2);
  write_file(ground.source / "kept", data);
  write_file(ground.source / "changed", data);
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_EQ(read_range(ground.mountpoint / "kept", 0, 3 * chunk), data);
    EXPECT_EQ(read_range(ground.mountpoint / "changed", 0, 3 * chunk), data);
    EXPECT_EQ(mount.unmount_and_wait(), 0);
    EXPECT_NE(mount.process().err().find("INFO: No cache metadata found, re-initializing.\n"),
              std::string::npos);
  }
  ASSERT_TRUE(fs::exists(ground.cachefile.string() + ".meta"));
  // Changed while unmounted: new bytes, new modification time.
  const std::string changed = random_bytes(3 * chunk, 3);
  write_file(ground.source / "changed", changed);
  const timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
  ::utimensat(AT_FDCWD, (ground.source / "changed").c_str(), times, 0);

  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_NE(mount.process().err().find("INFO: Loaded 6 cache elements.\n"), std::string::npos)
      << mount.process().err();
  EXPECT_EQ(read_range(ground.mountpoint / "kept", 0, 3 * chunk), data);
  EXPECT_EQ(read_range(ground.mountpoint / "changed", 0, 3 * chunk), changed);
  const CacheStats stats = stats_now(mount);
  EXPECT_EQ(stats.hits, 1);
  EXPECT_EQ(stats.misses, 1);
}

TEST(DaemonCache, BadMetadataIsRefusedAndNothingIsServedWrong) {
  CacheGround ground(8);
  const std::string data = random_bytes(2 * chunk, 4);
  write_file(ground.source / "file", data);
  const std::string meta = ground.cachefile.string() + ".meta";
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started());
    EXPECT_EQ(read_file(ground.mountpoint / "file"), data);
  }
  const std::string good = read_file(meta);
  ASSERT_GT(good.size(), 40u);
  // The cache file's slots hold garbage now: a wrongly trusted metadata file would serve it.
  write_file(ground.cachefile, std::string(8 * chunk, 'G'));

  const std::vector<std::pair<std::string, std::string>> bad = {
      {good.substr(0, 30), "WARNING: Cache data is corrupted, re-initializing.\n"},
      {"this is not an archive", "WARNING: Cache data is corrupted, re-initializing.\n"},
      {good, "WARNING: Cache file was modified externally, re-initializing.\n"},
  };
  for (const auto& [contents, warning] : bad) {
    write_file(meta, contents);
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_EQ(read_file(ground.mountpoint / "file"), data);
    EXPECT_NE(mount.process().err().find(warning), std::string::npos) << warning << " in:\n"
                                                                      << mount.process().err();
    EXPECT_EQ(mount.unmount_and_wait(), 0);
  }
}

TEST(DaemonCache, EvictionAndConcurrentReadersKeepEveryReadCorrect) {
  CacheGround ground(3);
  std::vector<std::string> files;
  for (int i = 0; i < 4; ++i) {
    files.push_back(random_bytes(5 * chunk + 77 * i, 10 + i));
    write_file(ground.source / ("f" + std::to_string(i)), files.back());
  }
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  std::vector<BoundedThread> readers;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t)
    readers.emplace_back([&, t] {
      std::mt19937 generator(t);
      for (int i = 0; i < 60; ++i) {
        const int index = static_cast<int>(generator() % files.size());
        const std::size_t size = 1 + generator() % (3 * chunk);
        const std::size_t offset = generator() % files[index].size();
        const std::string expected = files[index].substr(offset, size);
        if (read_range(ground.mountpoint / ("f" + std::to_string(index)), offset, size) != expected)
          ++wrong;
      }
    });
  // Readers that wait for a stuck daemon end with it.
  join_all(readers, "readers", std::chrono::seconds(120), [&] { mount.process().signal(SIGKILL); });
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(mount.unmount_and_wait(), 0);
}

TEST(DaemonCache, SizeChangesLeaveNoStaleBytes) {
  CacheGround ground(16);
  const std::string data = random_bytes(chunk + 100, 5);
  write_file(ground.source / "file", data);
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  const fs::path file = ground.mountpoint / "file";
  std::string model = data;
  EXPECT_EQ(read_range(file, 0, 3 * chunk), model);  // chunk 1 is cached short

  // A write far beyond the end: the old short chunk must not look like the end.
  const int fd = ::open(file.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "tail", 4, 3 * chunk), 4);
  model.resize(3 * chunk, '\0');
  model += "tail";
  EXPECT_EQ(read_range(file, 0, 4 * chunk), model);

  // Shrinking drops every chunk past the new end; growing again reads zeros.
  ASSERT_EQ(::ftruncate(fd, 50), 0);
  ASSERT_EQ(::ftruncate(fd, 2 * chunk), 0);
  model = data.substr(0, 50) + std::string(2 * chunk - 50, '\0');
  EXPECT_EQ(read_range(file, 0, 4 * chunk), model);

  // Growing by allocation does the same.
  ASSERT_EQ(::posix_fallocate(fd, 0, 3 * chunk), 0);
  model.resize(3 * chunk, '\0');
  EXPECT_EQ(read_range(file, 0, 4 * chunk), model);
  ::close(fd);
}

TEST(DaemonCache, ChunksBeyondTheEndDoNotSurviveGrowth) {
  CacheGround ground(16);
  write_file(ground.source / "file", std::string(100, 'x'));
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  const fs::path file = ground.mountpoint / "file";
  // Reading past the end caches empty chunks there.
  EXPECT_EQ(read_range(file, 3 * chunk, chunk), "");
  EXPECT_EQ(read_range(file, 0, chunk), std::string(100, 'x'));
  ASSERT_EQ(::truncate(file.c_str(), 4 * chunk), 0);
  EXPECT_EQ(read_range(file, 3 * chunk, chunk), std::string(chunk, '\0'));
  EXPECT_EQ(read_range(file, 0, chunk), std::string(100, 'x') + std::string(chunk - 100, '\0'));
}

TEST(DaemonCache, TruncatingOpensAndDirectIoKeepTheCacheRight) {
  CacheGround ground(16);
  const std::string data = random_bytes(3 * chunk, 9);
  write_file(ground.source / "file", data);
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options(), in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  const fs::path file = ground.mountpoint / "file";
  EXPECT_EQ(read_range(file, chunk, chunk), data.substr(chunk, chunk));
  {
    // An open that truncates, then a sparse write beyond the old chunk.
    const int fd = ::open(file.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "end", 3, 2 * chunk), 3);
    ::close(fd);
  }
  drop_caches(1);
  EXPECT_EQ(read_range(file, chunk, chunk), std::string(chunk, '\0'));

  // Direct reads fill chunks through a buffered descriptor of their own.
  write_file(ground.source / "direct", data);
  const int fd = ::open((ground.mountpoint / "direct").c_str(), O_RDONLY | O_DIRECT);
  ASSERT_GE(fd, 0);
  void* buffer = nullptr;
  ASSERT_EQ(::posix_memalign(&buffer, 4096, 2 * chunk), 0);
  EXPECT_EQ(::pread(fd, buffer, 2 * chunk, 0), static_cast<ssize_t>(2 * chunk)) << strerror(errno);
  EXPECT_EQ(std::string(static_cast<char*>(buffer), 2 * chunk), data.substr(0, 2 * chunk));
  ::free(buffer);
  ::close(fd);
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_EQ(mount.process().err().find("INTERNAL ERROR"), std::string::npos)
      << mount.process().err();
}

TEST(DaemonCache, FilesChangedBehindTheDaemonAreNotServedStale) {
  CacheGround ground(16);
  const std::string old_data = random_bytes(chunk, 6);
  write_file(ground.source / "file", old_data);
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all", "--v", "4"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_EQ(read_range(ground.mountpoint / "file", 0, chunk), old_data);
  // Changed in the source while the daemon still has the inode.
  const std::string new_data = random_bytes(chunk, 7);
  write_file(ground.source / "file", new_data);
  const timespec times[2] = {{0, UTIME_NOW}, {777, 0}};
  ::utimensat(AT_FDCWD, (ground.source / "file").c_str(), times, 0);
  // Once the kernel forgets the inode, the next lookup validates the chunks.
  struct stat info {};
  ASSERT_EQ(::stat((ground.source / "file").c_str(), &info), 0);
  EXPECT_TRUE(mount.wait_for_forget(info.st_ino));
  EXPECT_EQ(read_range(ground.mountpoint / "file", 0, chunk), new_data);
}

// The kernel keeps an inode for a day: each open, not only a lookup, makes
// the cache drop the chunks of a file changed beside the mount, and keep
// those of a file changed through it.
TEST(DaemonCache, EveryOpenSeesChangesBesideTheMountAndKeepsItsOwn) {
  CacheGround ground(16);
  std::string beside_data = random_bytes(4 * chunk, 20);
  std::string through_data = random_bytes(4 * chunk, 21);
  write_file(ground.source / "beside", beside_data);
  write_file(ground.source / "through", through_data);
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--disable-vfscache"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  const fs::path beside_source = ground.source / "beside";
  for (int round = 0; round < 5; ++round) {
    EXPECT_TRUE(read_file(ground.mountpoint / "beside") == beside_data) << "old bytes, " << round;
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(beside_source.c_str(), &before), 0);
    // In place: the same inode, new bytes, a new modification time.
    beside_data = random_bytes(4 * chunk, 30 + round);
    const int fd = ::open(beside_source.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, beside_data.data(), beside_data.size(), 0),
              static_cast<ssize_t>(beside_data.size()));
    ::close(fd);
    ASSERT_EQ(::stat(beside_source.c_str(), &after), 0);
    ASSERT_EQ(after.st_ino, before.st_ino);
    ASSERT_TRUE(after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
                after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
        << round;
  }
  EXPECT_TRUE(read_file(ground.mountpoint / "beside") == beside_data) << "old bytes at the end";

  const fs::path through = ground.mountpoint / "through";
  EXPECT_TRUE(read_file(through) == through_data);
  const int fd = ::open(through.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, "new", 3, chunk + 10), 3);
  ASSERT_EQ(::ftruncate(fd, 3 * chunk), 0);
  ::close(fd);
  through_data.replace(chunk + 10, 3, "new");
  through_data.resize(3 * chunk);
  // Changes of names and attributes through the mount move the change time too.
  const fs::path moved = ground.mountpoint / "moved";
  const std::vector<std::pair<const char*, std::function<int()>>> changes = {
      {"written and truncated", [] { return 0; }},
      {"renamed", [&] { return ::rename(through.c_str(), moved.c_str()); }},
      {"linked", [&] { return ::link(moved.c_str(), through.c_str()); }},
      {"a link removed", [&] { return ::unlink(through.c_str()); }},
      {"an attribute set", [&] { return ::setxattr(moved.c_str(), "user.a", "1", 1, 0); }},
      {"an attribute removed", [&] { return ::removexattr(moved.c_str(), "user.a"); }},
  };
  for (const auto& [what, change] : changes) {
    ASSERT_EQ(change(), 0) << what << ": " << std::strerror(errno);
    const CacheStats before = stats_now(mount);
    EXPECT_TRUE(read_file(fs::exists(through) ? through : moved) == through_data) << what;
    const CacheStats after = stats_now(mount);
    EXPECT_GT(after.hits, before.hits) << what;
    EXPECT_EQ(after.misses, before.misses) << what;
  }
}

TEST(DaemonCache, CacheFileOnAnotherFilesystemWorks) {
  CacheGround ground(1);
  const fs::path other = ground.root / "tmpfs";
  fs::create_directories(other);
  ASSERT_EQ(::mount("tmpfs", other.c_str(), "tmpfs", 0, "size=4m"), 0) << strerror(errno);
  struct Unmount {
    fs::path path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount_tmpfs{other};
  const fs::path cachefile = other / "cache";
  write_file(cachefile, std::string(8 * chunk, '\0'));
  const std::string data = random_bytes(3 * chunk, 8);
  write_file(ground.source / "file", data);
  {
    QuarnixMount mount(ground.source, ground.mountpoint,
                       {"--log-all", "--cachefile", cachefile.string()}, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_EQ(read_range(ground.mountpoint / "file", 0, 3 * chunk), data);
    EXPECT_EQ(read_range(ground.mountpoint / "file", 0, 3 * chunk), data);
    EXPECT_EQ(stats_now(mount).hits, 1);
    EXPECT_EQ(mount.unmount_and_wait(), 0);
    EXPECT_EQ(mount.process().err().find("INTERNAL ERROR"), std::string::npos);
  }
}

// A sparse cache file on a filesystem with room for some chunks, or for none:
// the cache goes on with the slots it could fill, and says so once, not at
// every read.
TEST(DaemonCache, FullCacheFilesystemKeepsCachingWhatItCould) {
  struct Case {
    std::string name;
    bool fill_up;  // no room at all, rather than room for about seven chunks
    long hits;
    std::size_t warnings;
  };
  for (const Case& c : {Case{"room for some chunks", false, 4, 1}, Case{"no room", true, 0, 3}}) {
    CacheGround ground(1);
    TmpfsMount small(ground.root / "small", "1m");
    // With no room at the start the metadata has none reserved either (the
    // third warning): room for it is given back after the reads.
    const fs::path reserve = small.mountpoint / "reserve";
    write_file(reserve, std::string(65536, 'r'));
    if (c.fill_up) small.fill();
    const fs::path cachefile = small.mountpoint / "cache";
    write_file(cachefile, "");
    fs::resize_file(cachefile, 32 * chunk);
    const std::string data = random_bytes(16 * chunk, 11);
    write_file(ground.source / "file", data);
    QuarnixMount mount(ground.source, ground.mountpoint,
                       {"--log-all", "--cachefile", cachefile.string()}, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << c.name << ":\n" << mount.process().err();
    const fs::path file = ground.mountpoint / "file";
    for (std::size_t k = 0; k < 16; ++k)
      EXPECT_TRUE(read_range(file, k * chunk, chunk) == data.substr(k * chunk, chunk)) << c.name;
    // The chunks read last are cached, where there was room for any.
    for (std::size_t k = 12; k < 16; ++k)
      EXPECT_TRUE(read_range(file, k * chunk, chunk) == data.substr(k * chunk, chunk)) << c.name;
    const CacheStats stats = stats_now(mount);
    EXPECT_EQ(stats.hits, c.hits) << c.name;
    EXPECT_EQ(stats.misses, 20 - c.hits) << c.name;
    fs::remove(reserve);
    EXPECT_EQ(mount.unmount_and_wait(), 0) << c.name;
    EXPECT_EQ(occurrences(mount.process().err(), "WARNING: "), c.warnings) << c.name << ":\n"
                                                                           << mount.process().err();
  }
}

TEST(DaemonCache, StartupRefusesUnusableCacheFiles) {
  CacheGround ground(1);
  write_file(ground.root / "tiny", std::string(100, '\0'));
  const ProgramResult tiny =
      run_program({quarnix_binary(), "--cachefile", (ground.root / "tiny").string(),
                   ground.source.string(), ground.mountpoint.string()});
  EXPECT_EQ(tiny.status, 1);
  EXPECT_NE(tiny.err.find("is smaller than one chunk (131072 bytes)"), std::string::npos)
      << tiny.err;
}

}  // namespace
}  // namespace quarnix::testing
