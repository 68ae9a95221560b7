// The fixtures' own promises: clean-up never crosses a mount that is still in
// place, a child's whole process group ends with it, and threads that do not
// end fail the test instead of hanging it, and a test program that has to
// end at once still leaves nothing behind.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/process.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

// A mount of `shown` (or of a filesystem of its own) on `mountpoint`, taken
// down when the pointer goes.
using MountMaker =
    std::function<std::shared_ptr<void>(const fs::path& shown, const fs::path& mountpoint)>;

// Whether `pid` is gone, or a zombie that its new parent has yet to reap.
bool ended_or_zombie(pid_t pid) {
  const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || stat.find(") Z") != std::string::npos;
}

// Unmounts, and then removes the rest of the tree, however the test ends.
struct AfterTheMount {
  ~AfterTheMount() {
    unmount(mountpoint);
    remove_tree(root);
  }
  fs::path root;
  fs::path mountpoint;
};

TEST(TestFixtures, RemovalLeavesEveryMountBeneathInPlace) {
  struct Case {
    std::string name;
    MountMaker mount;
  };
  const Case cases[] = {
      {"tmpfs",
       [](const fs::path&, const fs::path& mountpoint) {
         return std::make_shared<TmpfsMount>(mountpoint);
       }},
      // The same filesystem, and so the same device, on both sides.
      {"bind mount",
       [](const fs::path& shown, const fs::path& mountpoint) -> std::shared_ptr<void> {
         if (::mount(shown.c_str(), mountpoint.c_str(), nullptr, MS_BIND, nullptr) != 0)
           return nullptr;
         return std::shared_ptr<void>(nullptr, [mountpoint](void*) { unmount(mountpoint); });
       }},
      {"quarnix",
       [](const fs::path& shown, const fs::path& mountpoint) -> std::shared_ptr<void> {
         auto mount = std::make_shared<QuarnixMount>(shown, mountpoint);
         return mount->started() ? mount : nullptr;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir shown;
    auto ground = std::make_unique<TempDir>();
    fs::create_directories(ground->path() / "deep" / "mnt");
    const fs::path mountpoint = fs::canonical(ground->path() / "deep" / "mnt");
    write_file(ground->path() / "deep" / "beside", "");
    write_file(ground->path() / "top", "");
    AfterTheMount after{ground->path(), mountpoint};
    const std::shared_ptr<void> mount = c.mount(shown.path(), mountpoint);
    ASSERT_TRUE(is_mounted(mountpoint));
    write_file(mountpoint / "kept", "kept");

    EXPECT_NONFATAL_FAILURE(ground.reset(), "deep/mnt\" is still mounted at clean-up");
    EXPECT_EQ(read_file(mountpoint / "kept"), "kept");
    EXPECT_FALSE(fs::exists(after.root / "top"));
    EXPECT_FALSE(fs::exists(after.root / "deep" / "beside"));
  }
}

// A child that ended or not, the process it started in the background goes
// with it.
TEST(TestFixtures, AProcessTakesItsGroupWithIt) {
  for (const bool child_waits : {true, false}) {
    SCOPED_TRACE(child_waits ? "child still running" : "child ended");
    TempDir dir;
    const fs::path pid_file = dir / "pid";
    auto process = std::make_unique<Process>(
        std::vector<std::string>{
            "sh", "-c", "sleep 120 & echo $! > \"$0\"" + std::string(child_waits ? "; wait" : ""),
            pid_file.string()},
        dir / "sh");
    ASSERT_TRUE(holds_within([&] { return read_file(pid_file).ends_with("\n"); }));
    const pid_t background = std::stoi(read_file(pid_file));
    if (!child_waits) {
      ASSERT_TRUE(holds_within([&] { return !process->running(); }));
    }
    process.reset();
    const bool ended = holds_within([&] { return ended_or_zombie(background); });
    EXPECT_TRUE(ended) << "the background process still runs";
    if (!ended) ::kill(background, SIGKILL);
  }
}

TEST(TestFixtures, ThreadsStillRunningAtTheDeadlineFailAndAreUnstuck) {
  std::atomic<bool> released{false};
  std::vector<BoundedThread> threads;
  threads.emplace_back([&] {
    while (!released)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  });
  threads.emplace_back([] {});
  EXPECT_NONFATAL_FAILURE(
      join_all(threads, "waiters", std::chrono::milliseconds(100), [&] { released = true; }),
      "1 of 2 waiters still run after 100 ms");
  EXPECT_TRUE(released);
}

// What the stuck test program wrote down as started, taken down here in case
// the program left it.
struct LeftByTheProgram {
  ~LeftByTheProgram() {
    for (const char* name : {"daemon", "group"}) {
      const pid_t group = pid_in(name);
      if (group > 0 && !ended_or_zombie(group)) ::kill(-group, SIGKILL);
    }
    for (const char* name : {"tmpfs", "mount"})
      if (const std::string path = read_file(report / name); !path.empty()) unmount(path);
  }
  pid_t pid_in(const std::string& name) const {
    const std::string text = read_file(report / name);
    return text.empty() ? 0 : std::stoi(text);
  }
  fs::path report;
};

TEST(TestFixtures, AProgramEndedByAStuckThreadLeavesNothingBehind) {
  TempDir dir;
  const fs::path report = dir / "report";
  fs::create_directory(report);
  const LeftByTheProgram left{report};
  ProcessOptions options;
  // Its temporary directories are made in ours, which goes in any case.
  options.environment = {"TMPDIR=" + dir.path().string()};
  Process program({STUCK_TEST_PROGRAM, report.string()}, dir / "program", options);
  EXPECT_EQ(exit_status(program.wait(std::chrono::seconds(60))), EXIT_FAILURE);
  EXPECT_NE(program.out().find("the stuck thread still runs 100 ms after it should have ended"),
            std::string::npos)
      << program.out();
  for (const char* name : {"daemon", "sleep"}) {
    const pid_t pid = left.pid_in(name);
    EXPECT_TRUE(pid > 0 && holds_within([&] { return ended_or_zombie(pid); }))
        << "the " << name << " still runs or never started";
  }
  for (const char* name : {"mount", "tmpfs"}) {
    const std::string mountpoint = read_file(report / name);
    EXPECT_FALSE(mountpoint.empty() || is_mounted(mountpoint)) << name << " " << mountpoint;
  }
  const std::string ground = read_file(report / "ground");
  EXPECT_FALSE(ground.empty() || fs::exists(ground)) << ground;
}

// A client killed while it holds a file of a mount whose daemon does not
// answer cannot end before the daemon does: its Process fails the test and
// goes on without it.
TEST(TestFixtures, AChildThatCannotEndFailsTheTestAndIsLeft) {
  MountGround ground;
  write_file(ground.source / "file", "");
  QuarnixMount mount(ground.source, ground.mountpoint);
  ASSERT_TRUE(mount.started());
  ProcessOptions options;
  options.stdin_file = mount.mountpoint() / "file";
  options.kill_deadline = std::chrono::milliseconds(300);
  auto client = std::make_unique<Process>(std::vector<std::string>{"sleep", "120"},
                                          ground.work / "client", options);
  const pid_t client_pid = client->pid();
  ASSERT_TRUE(holds_within([&] { return descriptors_below(client_pid, mount.mountpoint()) > 0; }));
  // A stopped daemon answers nothing, so the client's flush as it exits waits.
  struct Resumed {
    ~Resumed() { ::kill(daemon, SIGCONT); }
    pid_t daemon;
  } resumed{mount.process().pid()};
  ASSERT_EQ(::kill(resumed.daemon, SIGSTOP), 0);

  EXPECT_NONFATAL_FAILURE(client.reset(), "process " + std::to_string(client_pid) + " still runs");
  ::kill(resumed.daemon, SIGCONT);
  // Its Process is gone: nobody else reaps it.
  EXPECT_TRUE(holds_within([&] {
    int raw = 0;
    return ::waitpid(client_pid, &raw, WNOHANG) == client_pid;
  })) << "the client did not end once the daemon answered";
}

}  // namespace
}  // namespace quarnix::testing
