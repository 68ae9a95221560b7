// The daemon's save of the cache metadata at exit, when the filesystem of the
// cache file has no room left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/daemon_cache_fixtures.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

// A sparse cache file that the chunks fill up: the room of the metadata was
// taken before them, so the save at exit fits and the next start has the chunks.
TEST(DaemonMetadataSave, AFullCacheFilesystemKeepsTheCacheAcrossRestarts) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  MountGround ground;
  TmpfsMount cache_directory(ground.root / "cache", "1m");
  const fs::path cachefile = cache_directory.mountpoint / "cache";
  write_file(cachefile, "");
  fs::resize_file(cachefile, 32 * chunk);
  const std::string data = random_bytes(16 * chunk, 21);
  write_file(ground.source / "file", data);
  const std::vector<std::string> options{"--log-all", "--cachefile", cachefile.string()};
  // The first run keeps the chunks it read last; the second reads them first,
  // before its misses evict them.
  const auto read_all = [&](bool backwards) {
    for (std::size_t i = 0; i < 16; ++i) {
      const std::size_t k = backwards ? 15 - i : i;
      EXPECT_TRUE(read_range(ground.mountpoint / "file", k * chunk, chunk) ==
                  data.substr(k * chunk, chunk));
    }
  };
  {
    QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    read_all(false);
    EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
    EXPECT_EQ(occurrences(mount.process().err(), "ERROR"), 0u) << mount.process().err();
  }
  QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  std::smatch loaded;
  const std::string err = mount.process().err();
  ASSERT_TRUE(std::regex_search(err, loaded, std::regex("INFO: Loaded (\\d+) cache elements\\.")))
      << err;
  const long kept = std::stol(loaded[1]);
  EXPECT_GT(kept, 0);
  read_all(true);
  EXPECT_EQ(stats_now(mount).hits, kept);
  EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
}

// No room even for the reserve: the daemon warns at the start, runs on, and
// ends with one error line and status 1, leaving nothing half written.
TEST(DaemonMetadataSave, AFailedSaveLeavesNoTemporaryFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  MountGround ground;
  TmpfsMount cache_directory(ground.root / "cache", "1m");
  const fs::path cachefile = cache_directory.mountpoint / "cache";
  write_file(cachefile, std::string(4 << 17, '\0'));
  cache_directory.fill();
  {
    QuarnixMount mount(ground.source, ground.mountpoint, {"--cachefile", cachefile.string()},
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_NE(mount.process().err().find("may not survive a restart"), std::string::npos)
        << mount.process().err();
    EXPECT_EQ(mount.unmount_and_wait(), 1);
    const std::string err = mount.process().err();
    EXPECT_EQ(occurrences(err, "ERROR"), 1u) << err;
    EXPECT_NE(err.find("ERROR: Failed to write cache metadata " + cachefile.string() +
                       ".meta: No space left on device\n"),
              std::string::npos)
        << err;
  }
  EXPECT_EQ(names_in(cache_directory.mountpoint), (std::vector<std::string>{"cache", "filler"}));
}

// Without a reserve the save creates the metadata anew. Whatever another user
// planted under its name in a directory that everyone may write, a link, a
// FIFO or a file of their own, gives way to a regular file of the daemon's own:
// nothing is written through it, nothing waits for a reader, nothing of it is
// taken over, and the next start takes the chunks back.
TEST(DaemonMetadataSave, NamesPlantedWhileItRunsGiveWayToItsOwnFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::vector<std::pair<std::string, std::function<void(const fs::path&, const fs::path&)>>>
      plants = {
          {"symbolic link",
           [](const fs::path& meta, const fs::path& precious) { plant_as_nobody(meta, precious); }},
          {"FIFO", [](const fs::path& meta, const fs::path&) { plant_fifo_as_nobody(meta); }},
          {"file of mode 0666",
           [](const fs::path& meta, const fs::path&) { plant_as_nobody(meta); }},
      };
  for (const auto& [name, plant] : plants) {
    SCOPED_TRACE(name);
    MountGround ground;
    TmpfsMount cache_directory(ground.root / "cache", "1m");
    share_directory(ground.root.path(), cache_directory.mountpoint);
    if (!nobody_can_write(cache_directory.mountpoint))
      GTEST_SKIP() << "nobody cannot reach " << cache_directory.mountpoint;
    const fs::path cachefile = cache_directory.mountpoint / "cache";
    const fs::path meta = cachefile.string() + ".meta";
    const fs::path precious = ground.root / "precious";
    write_file(precious, "precious\n");
    write_file(cachefile, std::string(4 * chunk, '\0'));
    const std::string data = random_bytes(chunk, 22);
    write_file(ground.source / "file", data);
    const std::vector<std::string> options{"--cachefile", cachefile.string()};
    cache_directory.fill();  // no room for the reserve
    {
      QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
      ASSERT_TRUE(mount.started()) << mount.process().err();
      EXPECT_TRUE(read_file(ground.mountpoint / "file") == data);
      fs::remove(cache_directory.mountpoint / "filler");
      plant(meta, precious);
      EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
    }
    EXPECT_EQ(read_file(precious), "precious\n");
    struct stat info {};
    ASSERT_EQ(::lstat(meta.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_NE(mount.process().err().find("INFO: Loaded 1 cache elements.\n"), std::string::npos)
        << mount.process().err();
  }
}

}  // namespace
}  // namespace quarnix::testing
