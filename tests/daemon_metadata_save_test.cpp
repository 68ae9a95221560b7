// The daemon's save of the cache metadata at exit, when the filesystem of the
// cache file has no room left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
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

}  // namespace
}  // namespace quarnix::testing
