// The daemon's save of the cache metadata at exit, when the filesystem of the
// cache file has no room left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

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
    EXPECT_NE(mount.unmount_and_wait(), 0);
    EXPECT_NE(mount.process().err().find("Failed to write cache metadata " + cachefile.string() +
                                         ".meta: No space left on device"),
              std::string::npos)
        << mount.process().err();
  }
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(cache_directory.mountpoint))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"cache", "filler"}));
}

}  // namespace
}  // namespace quarnix::testing
