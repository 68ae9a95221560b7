// A test program whose test starts a mount, a process group and a tmpfs and
// then has a thread that never ends. It writes what it started to files in
// the directory named by its argument, for the test that runs it to check
// that none of it outlives the program.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/process.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

fs::path report_directory;

TEST(StuckTestProgram, AThreadNeverEnds) {
  MountGround ground;
  write_file(report_directory / "ground", ground.root.path().string());
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  write_file(report_directory / "mount", mount.mountpoint().string());
  write_file(report_directory / "daemon", std::to_string(mount.process().pid()));
  const fs::path sleep_pid = report_directory / "sleep";
  Process background({"sh", "-c", "sleep 120 & echo $! > \"$0\"; wait", sleep_pid.string()},
                     ground.work / "sh");
  write_file(report_directory / "group", std::to_string(background.pid()));
  ASSERT_TRUE(holds_within([&] { return read_file(sleep_pid).ends_with("\n"); }));
  TmpfsMount tmpfs(ground.root / "tmpfs");
  write_file(report_directory / "tmpfs", tmpfs.mountpoint.string());

  BoundedThread stuck([] {
    while (true)
      std::this_thread::sleep_for(std::chrono::hours(1));
  });
  stuck.join("the stuck thread", std::chrono::milliseconds(100));
}

}  // namespace
}  // namespace quarnix::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (argc != 2) return 2;
  quarnix::testing::report_directory = argv[1];
  return RUN_ALL_TESTS();
}
