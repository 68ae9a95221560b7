// Many threads on one mount at once: readers of shared files on a cache of
// few slots, writers of their own files, creates and unlinks, listings, while
// the read-ahead thread prefetches, the kernel forgets inodes and statistics
// are asked for. Every byte read must be the one written, and the daemon
// (thread-checked in build-tsan/) must end cleanly.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "profile/block_id.hpp"
#include "profile/profile_file.hpp"
#include "tests/daemon_cache_fixtures.hpp"
#include "tests/fixtures/bounded_thread.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/read_log.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t block_size = 131072;
constexpr int shared_files = 4;
constexpr std::size_t shared_blocks = 6;
constexpr int workers = 8;
constexpr int rounds = 40;

std::string shared_name(int index) {
  return "shared" + std::to_string(index);
}

// Each block of a file predicts the next one and the first block of the next file.
void write_profile_over(const fs::path& path, const std::vector<std::string>& names,
                        uint32_t blocks) {
  BlockNode root;
  root.name = "(root)";
  ProfilePaths paths;
  for (std::size_t file = 0; file < names.size(); ++file) {
    const std::string& name = names[file];
    const std::string& next = names[(file + 1) % names.size()];
    paths[hash_path(name)] = name;
    for (uint32_t block = 0; block < blocks; ++block) {
      BlockNode& node = root.children[block_id_t(name, block)];
      node.name = name;
      node.predictions = {{block_id_t(name, (block + 1) % blocks), 0.7},
                          {block_id_t(next, 0), 0.3}};
    }
  }
  write_profile(path.string(), ProfileSettings{false, block_size, 1}, paths, root);
}

std::vector<std::string> shared_names() {
  std::vector<std::string> names;
  for (int file = 0; file < shared_files; ++file)
    names.push_back(shared_name(file));
  return names;
}

// Shared files of a few blocks each, the first one a whole number of blocks long.
std::vector<std::string> write_shared_files(const fs::path& source) {
  std::vector<std::string> shared;
  for (int file = 0; file < shared_files; ++file) {
    shared.push_back(random_bytes(shared_blocks * block_size - 100 * file, file + 1));
    write_file(source / shared_name(file), shared.back());
  }
  return shared;
}

// A read that straddles a block boundary of a shared file, checked against
// its contents; false when it returned other bytes.
bool read_across_a_boundary(const fs::path& mountpoint, const std::vector<std::string>& shared,
                            std::mt19937& generator) {
  const int index = static_cast<int>(generator() % shared.size());
  const std::size_t boundary = (1 + generator() % (shared_blocks - 1)) * block_size;
  const std::size_t offset = boundary - 1 - generator() % (block_size - 1);
  const std::size_t size = boundary - offset + 1 + generator() % (2 * block_size);
  return read_range(mountpoint / shared_name(index), offset, size) ==
         shared[index].substr(offset, size);
}

// Threads still running at the deadline wait for a daemon that is stuck: it
// is killed, which fails their requests and so ends them, and the test fails.
void join_or_kill(std::vector<BoundedThread>& threads, QuarnixMount& mount,
                  std::chrono::seconds deadline) {
  join_all(threads, "threads waiting for a stuck daemon", deadline,
           [&] { mount.process().signal(SIGKILL); });
}

// One worker: reads of the shared files, writes and reads of its own file,
// and a short-lived file each round, for `rounds` rounds or until `end`,
// whichever comes later. Returns what went wrong, or "".
std::string run_worker(const fs::path& mountpoint, const std::vector<std::string>& shared, int t,
                       int rounds, Clock::time_point end) {
  std::mt19937 generator(static_cast<unsigned>(t));
  const fs::path own = mountpoint / ("own" + std::to_string(t));
  std::string model = random_bytes(3 * block_size, 100 + t);
  write_file(own, model);
  for (int round = 0; round < rounds || Clock::now() < end; ++round) {
    const int index = static_cast<int>(generator() % shared.size());
    const std::size_t size = 1 + generator() % (2 * block_size);
    const std::size_t offset = generator() % shared[index].size();
    if (read_range(mountpoint / shared_name(index), offset, size) !=
        shared[index].substr(offset, size))
      return "shared read " + std::to_string(round) + " of " + shared_name(index);

    const std::size_t write_size = 1 + generator() % block_size;
    const std::size_t write_offset = generator() % (model.size() - write_size);
    const std::string data = random_bytes(write_size, 1000 * t + round);
    const int fd = ::open(own.c_str(), O_RDWR);
    const bool written =
        fd >= 0 && ::pwrite(fd, data.data(), write_size, static_cast<off_t>(write_offset)) ==
                       static_cast<ssize_t>(write_size);
    if (fd >= 0) ::close(fd);
    if (!written) return "write " + std::to_string(round) + " of " + own.string();
    model.replace(write_offset, write_size, data);
    if (read_range(own, write_offset, write_size) != data)
      return "read back " + std::to_string(round) + " of " + own.string();

    const fs::path scratch = mountpoint / ("scratch" + std::to_string(t));
    write_file(scratch, data);
    struct stat info {};
    if (::stat(scratch.c_str(), &info) != 0 || static_cast<std::size_t>(info.st_size) != write_size)
      return "stat " + std::to_string(round) + " of " + scratch.string();
    if (::unlink(scratch.c_str()) != 0) return "unlink " + std::to_string(round);
  }
  return read_file(own) == model ? "" : "final contents of " + own.string();
}

// Shared files predicted by a profile, and a cache of 16 slots for their 24
// blocks and the workers' own files: chunks are evicted all the time.
struct SharedFilesGround : MountGround {
  SharedFilesGround() : cachefile(root / "cache"), profile(root / "profile.ba") {
    write_file(cachefile, std::string(16 * block_size, '\0'));
    write_profile_over(profile, shared_names(), shared_blocks);
    shared = write_shared_files(source);
  }
  std::vector<std::string> options(std::vector<std::string> more = {}) const {
    more.insert(more.end(),
                {"--cachefile", cachefile.string(), "--readahead-profile", profile.string()});
    return more;
  }
  fs::path cachefile;
  fs::path profile;
  std::vector<std::string> shared;
};

TEST(DaemonConcurrency, ReadsWritesAndForgetsOnManyThreads) {
  SharedFilesGround ground;
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-reads"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  std::atomic<bool> done{false};
  // Unused inodes are forgotten while the workers run.
  BoundedThread forgetter([&] {
    while (!done) {
      drop_caches(2);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::string> failures(workers);
  std::vector<BoundedThread> threads;
  for (int t = 0; t < workers; ++t)
    threads.emplace_back([&, t] {
      failures[t] = run_worker(ground.mountpoint, ground.shared, t, rounds, Clock::now());
    });
  join_or_kill(threads, mount, std::chrono::seconds(120));
  done = true;
  forgetter.join("the thread that makes the kernel forget inodes");

  for (int t = 0; t < workers; ++t)
    EXPECT_EQ(failures[t], "") << "worker " << t;
  EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
}

// Every chunk cached, then many threads read across chunk boundaries at
// once while the read-ahead thread reads the predicted blocks: the slow
// source below the daemon sees none of these reads.
TEST(DaemonConcurrency, ReadsOfCachedFilesNeverReachTheSource) {
  MountGround ground;
  const fs::path slow = ground.root / "slow", slow_work = ground.root / "slow_work";
  fs::create_directories(slow);
  fs::create_directories(slow_work);
  const std::vector<std::string> shared = write_shared_files(ground.source);
  const fs::path cachefile = ground.root / "cache", profile = ground.root / "profile.ba";
  write_file(cachefile, std::string(64 * block_size, '\0'));
  write_profile_over(profile, shared_names(), shared_blocks);
  QuarnixMount slow_source(ground.source, slow, {"--delay-reads", "-0.01", "--log-reads"},
                           in_directory(slow_work));
  ASSERT_TRUE(slow_source.started()) << slow_source.process().err();
  // --log-all: every pread is one request of its own, cut as the thread cut it.
  QuarnixMount mount(
      slow, ground.mountpoint,
      {"--log-all", "--cachefile", cachefile.string(), "--readahead-profile", profile.string()},
      in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  // Reads beyond the end too, as the readers below may: they take the chunk there.
  const auto read_whole = [&](int file) {
    return read_range(ground.mountpoint / shared_name(file), 0, (shared_blocks + 2) * block_size);
  };
  for (int file = 0; file < shared_files; ++file)
    ASSERT_EQ(read_whole(file), shared[file]);
  // A second pass waits for any fill still running; from here on all is cached.
  const long misses = stats_now(mount).misses;
  for (int file = 0; file < shared_files; ++file)
    ASSERT_EQ(read_whole(file), shared[file]);
  const std::size_t source_reads = read_requests(slow_work);

  std::atomic<int> wrong{0};
  std::vector<BoundedThread> readers;
  for (int t = 0; t < workers; ++t)
    readers.emplace_back([&, t] {
      std::mt19937 generator(static_cast<unsigned>(t));
      for (int round = 0; round < rounds; ++round)
        if (!read_across_a_boundary(ground.mountpoint, shared, generator)) ++wrong;
    });
  join_or_kill(readers, mount, std::chrono::seconds(120));
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(stats_now(mount).misses, misses);
  EXPECT_EQ(read_requests(slow_work), source_reads);
  EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
}

// Readers across chunk boundaries, writers of the same bytes (each write
// refreshes chunks and dates the others), the drop command and the
// read-ahead thread on caches of two and of four slots (the fewest with
// which the read-ahead thread prefetches): all of them end, and every read
// returns the file's bytes.
TEST(DaemonConcurrency, ReadersWritersDropsAndReadaheadOnATinyCache) {
  for (const std::size_t slots : {2, 4}) {
    SCOPED_TRACE(std::to_string(slots) + " slots");
    MountGround ground;
    const std::vector<std::string> shared = write_shared_files(ground.source);
    const fs::path cachefile = ground.root / "cache", profile = ground.root / "profile.ba";
    write_file(cachefile, std::string(slots * block_size, '\0'));
    write_profile_over(profile, shared_names(), shared_blocks);
    QuarnixMount mount(
        ground.source, ground.mountpoint,
        {"--log-all", "--cachefile", cachefile.string(), "--readahead-profile", profile.string()},
        in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();

    std::atomic<int> wrong{0}, failed{0};
    std::vector<BoundedThread> threads;
    for (int t = 0; t < 4; ++t)
      threads.emplace_back([&, t] {
        std::mt19937 generator(static_cast<unsigned>(t));
        for (int round = 0; round < rounds; ++round)
          if (!read_across_a_boundary(ground.mountpoint, shared, generator)) ++wrong;
      });
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        std::mt19937 generator(static_cast<unsigned>(100 + t));
        for (int round = 0; round < rounds; ++round) {
          const int index = static_cast<int>(generator() % shared.size());
          const std::size_t offset = generator() % shared[index].size();
          const std::string same = shared[index].substr(offset, 1 + generator() % block_size);
          const int fd = ::open((ground.mountpoint / shared_name(index)).c_str(), O_WRONLY);
          if (fd < 0 || ::pwrite(fd, same.data(), same.size(), static_cast<off_t>(offset)) !=
                            static_cast<ssize_t>(same.size()))
            ++failed;
          if (fd >= 0) ::close(fd);
        }
      });
    threads.emplace_back([&] {
      for (int round = 0; round < rounds; ++round) {
        const fs::path file = ground.mountpoint / shared_name(round % shared_files);
        if (::setxattr(file.c_str(), "quarnix_drop_cache", "", 0, 0) != 0) ++failed;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    join_or_kill(threads, mount, std::chrono::seconds(120));
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
  }
}

// Long enough for thousands of operations on every thread, short enough for the suite.
constexpr auto storm_time = std::chrono::seconds(3);

// Runs `work(index)` on `count` threads and gathers what each found wrong.
// Workers still busy at the deadline mean a hung daemon: it is killed, so
// that their calls fail and they end.
std::vector<std::string> run_workers(int count, QuarnixMount& mount,
                                     const std::function<std::string(int)>& work) {
  std::vector<std::future<std::string>> running;
  for (int t = 0; t < count; ++t)
    running.push_back(std::async(std::launch::async, work, t));
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  std::vector<std::string> failures;
  for (auto& worker : running) {
    if (worker.wait_until(deadline) != std::future_status::ready) {
      ADD_FAILURE() << "workers still busy 60 s after the end of the load: the daemon hangs";
      mount.process().signal(SIGKILL);
    }
    failures.push_back(worker.get());
  }
  return failures;
}

// Lists `directory` again and again until `end`, with every name looked at
// as it comes when `look` is set (the kernel then asks for the rest of each
// listing with readdirplus); every listing must show each name of `stable`
// exactly once. Returns what went wrong, or "".
std::string list_until(const fs::path& directory, const std::set<std::string>& stable,
                       Clock::time_point end, bool look = false) {
  for (int listing = 0; Clock::now() < end; ++listing) {
    DIR* stream = ::opendir(directory.c_str());
    if (!stream) return "opendir: " + std::string(std::strerror(errno));
    std::map<std::string, int> seen;
    errno = 0;
    while (const dirent* entry = ::readdir(stream)) {
      ++seen[entry->d_name];
      struct stat info {};
      if (look) ::fstatat(::dirfd(stream), entry->d_name, &info, AT_SYMLINK_NOFOLLOW);
      errno = 0;
    }
    const int error = errno;
    ::closedir(stream);
    if (error != 0) return "readdir: " + std::string(std::strerror(error));
    for (const std::string& name : stable)
      if (seen[name] != 1)
        return "listing " + std::to_string(listing) + " showed " + name + " " +
               std::to_string(seen[name]) + " times";
  }
  return "";
}

// Creates and unlinks entries of its own in `directory` until `end`.
std::string churn_until(const fs::path& directory, int t, Clock::time_point end) {
  for (int round = 0; Clock::now() < end; ++round) {
    const fs::path entry = directory / ("churn" + std::to_string(t) + "_" + std::to_string(round));
    write_file(entry, "x");
    if (::unlink(entry.c_str()) != 0) return "unlink " + entry.string();
  }
  return "";
}

std::set<std::string> make_entries(const fs::path& directory, int count) {
  std::set<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.insert("stable" + std::to_string(i));
    write_file(directory / ("stable" + std::to_string(i)), "");
  }
  return names;
}

// The kernel may release a directory handle as soon as the reply to its
// last listing is out, while the thread that sent it still holds the handle.
TEST(DaemonConcurrency, ListingsWhileEntriesComeAndGo) {
  constexpr int listers = 16;
  constexpr int churners = 4;
  MountGround ground;
  fs::create_directories(ground.source / "dir");
  // Several replies per listing.
  const std::set<std::string> stable = make_entries(ground.source / "dir", 150);
  QuarnixMount mount(ground.source, ground.mountpoint, {}, in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  const fs::path directory = ground.mountpoint / "dir";
  const auto end = Clock::now() + storm_time;
  const std::vector<std::string> failures = run_workers(listers + churners, mount, [&](int t) {
    return t < listers ? list_until(directory, stable, end) : churn_until(directory, t, end);
  });
  for (int t = 0; t < listers + churners; ++t)
    EXPECT_EQ(failures[t], "") << "worker " << t;
  EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
}

// The kernel fills its cache of a directory through one handle; when a
// change drops that cache, another handle goes on at an offset the first
// one was given.
TEST(DaemonConcurrency, ListingsOfAChangingDirectoryShowEachNameOnce) {
  constexpr int listers = 4;
  for (const bool look : {false, true}) {
    MountGround ground;
    fs::create_directories(ground.source / "dir");
    const std::set<std::string> stable = make_entries(ground.source / "dir", 150);
    QuarnixMount mount(ground.source, ground.mountpoint, {}, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    const fs::path directory = ground.mountpoint / "dir";
    const auto end = Clock::now() + std::chrono::seconds(8);
    const std::vector<std::string> failures = run_workers(listers + 1, mount, [&](int t) {
      return t < listers ? list_until(directory, stable, end, look)
                         : churn_until(directory, t, end);
    });
    for (int t = 0; t < listers + 1; ++t)
      EXPECT_EQ(failures[t], "") << "worker " << t << (look ? ", names looked at" : "");
    EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
    EXPECT_EQ(mount.process().err().find("unknown offset"), std::string::npos)
        << mount.process().err();
  }
}

// Everything at once with every operation logged, statistics asked for all
// the time and the read-ahead thread prefetching: the statistics and the
// operations log format text on different threads.
TEST(DaemonConcurrency, MixedLoadWithStatisticsAndFullLogEndsCleanly) {
  constexpr int readers_and_writers = 4;
  constexpr int listers = 3;
  SharedFilesGround ground;
  std::set<std::string> stable;
  for (int file = 0; file < shared_files; ++file)
    stable.insert(shared_name(file));
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  const auto end = Clock::now() + storm_time;
  const std::vector<std::string> failures =
      run_workers(readers_and_writers + listers + 1, mount, [&](int t) -> std::string {
        if (t < readers_and_writers) return run_worker(ground.mountpoint, ground.shared, t, 1, end);
        if (t < readers_and_writers + listers) return list_until(ground.mountpoint, stable, end);
        while (Clock::now() < end) {
          mount.process().signal(SIGUSR1);
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "";
      });
  for (std::size_t t = 0; t < failures.size(); ++t)
    EXPECT_EQ(failures[t], "") << "worker " << t;
  EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
  EXPECT_GT(occurrences(mount.process().err(), "INFO: Cache stats: "), 10u);
}

}  // namespace
}  // namespace quarnix::testing
