// Many threads on one mount at once: readers of shared files on a cache of
// few slots, writers of their own files, creates and unlinks, while the
// read-ahead thread prefetches and the kernel forgets inodes. Every byte read
// must be the one written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "profile/block_id.hpp"
#include "profile/profile_file.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t block_size = 131072;
constexpr int shared_files = 4;
constexpr std::size_t shared_blocks = 6;
constexpr int workers = 8;
constexpr int rounds = 40;

std::string shared_name(int index) {
  return "shared" + std::to_string(index);
}

// Each block of a shared file predicts the next one and the first block of the next file.
void write_profile_over_shared_files(const fs::path& path) {
  BlockNode root;
  root.name = "(root)";
  ProfilePaths paths;
  for (int file = 0; file < shared_files; ++file) {
    const std::string name = shared_name(file);
    const std::string next = shared_name((file + 1) % shared_files);
    paths[hash_path(name)] = name;
    for (uint32_t block = 0; block < shared_blocks; ++block) {
      BlockNode& node = root.children[block_id_t(name, block)];
      node.name = name;
      node.predictions = {{block_id_t(name, (block + 1) % shared_blocks), 0.7},
                          {block_id_t(next, 0), 0.3}};
    }
  }
  write_profile(path.string(), ProfileSettings{false, block_size, 1}, paths, root);
}

// One worker: reads of the shared files, writes and reads of its own file,
// and a short-lived file each round. Returns what went wrong, or "".
std::string run_worker(const fs::path& mountpoint, const std::vector<std::string>& shared, int t) {
  std::mt19937 generator(static_cast<unsigned>(t));
  const fs::path own = mountpoint / ("own" + std::to_string(t));
  std::string model = random_bytes(3 * block_size, 100 + t);
  write_file(own, model);
  for (int round = 0; round < rounds; ++round) {
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

TEST(DaemonConcurrency, ReadsWritesAndForgetsOnManyThreads) {
  MountGround ground;
  const fs::path cachefile = ground.root / "cache";
  // 16 slots for 24 shared blocks and the workers' own files: chunks are evicted all the time.
  write_file(cachefile, std::string(16 * block_size, '\0'));
  const fs::path profile = ground.root / "profile.ba";
  write_profile_over_shared_files(profile);
  std::vector<std::string> shared;
  for (int file = 0; file < shared_files; ++file) {
    shared.push_back(random_bytes(shared_blocks * block_size - 100 * file, file + 1));
    write_file(ground.source / shared_name(file), shared.back());
  }
  QuarnixMount mount(
      ground.source, ground.mountpoint,
      {"--log-reads", "--cachefile", cachefile.string(), "--readahead-profile", profile.string()},
      in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  std::atomic<bool> done{false};
  // Unused inodes are forgotten while the workers run.
  std::thread forgetter([&] {
    while (!done) {
      drop_caches(2);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  std::vector<std::string> failures(workers);
  std::vector<std::thread> threads;
  for (int t = 0; t < workers; ++t)
    threads.emplace_back([&, t] { failures[t] = run_worker(ground.mountpoint, shared, t); });
  for (auto& thread : threads)
    thread.join();
  done = true;
  forgetter.join();

  for (int t = 0; t < workers; ++t)
    EXPECT_EQ(failures[t], "") << "worker " << t;
  EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
}

}  // namespace
}  // namespace quarnix::testing
