// The whole loop through the real programs: quarnix logs a recurring read
// pattern, quarnix_trainer learns it, and quarnix prefetches it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <regex>
#include <thread>

#include "profile/block_id.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t block_size = 131072;

struct BlockRead {
  std::string file;
  uint32_t block;
};

// Reads exactly one block with one request: no kernel read-ahead for this descriptor.
std::string read_block(const fs::path& root, const BlockRead& read) {
  const int fd = ::open((root / read.file).c_str(), O_RDONLY);
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  std::string data(block_size, '\0');
  const ssize_t count =
      ::pread(fd, data.data(), block_size, static_cast<off_t>(read.block) * block_size);
  ::close(fd);
  data.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
  return data;
}

bool wait_for_line(QuarnixMount& mount, const std::string& line, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    if (mount.process().out().find(line) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

TEST(TrainedReadahead, ALoggedPatternIsLearnedAndPrefetched) {
  MountGround ground;
  std::mt19937 generator(5);
  std::map<std::string, std::string> contents;
  for (int f = 0; f < 8; ++f) {
    std::string data(6 * block_size, '\0');
    for (auto& byte : data)
      byte = static_cast<char>(generator());
    const std::string name = "dir" + std::to_string(f % 2) + "/file" + std::to_string(f);
    fs::create_directories((ground.source / name).parent_path());
    write_file(ground.source / name, data);
    contents[name] = data;
  }
  // A pattern that jumps between files and blocks; no block repeats.
  std::vector<BlockRead> pattern;
  std::vector<std::string> names;
  for (const auto& [name, data] : contents)
    names.push_back(name);
  for (int i = 0; i < 24; ++i)
    pattern.push_back({names[(i * 5) % names.size()], static_cast<uint32_t>((i * 7) % 6)});

  const ProcessOptions in_work = in_directory(ground.work);
  for (int run = 0; run < 3; ++run) {
    QuarnixMount mount(ground.source, ground.mountpoint, {"--log-reads"}, in_work);
    ASSERT_TRUE(mount.started()) << mount.process().err();
    drop_caches(3);
    for (const auto& read : pattern)
      ASSERT_EQ(read_block(ground.mountpoint, read).size(), block_size);
    ASSERT_EQ(mount.unmount_and_wait(), 0);
  }

  const ProgramResult trainer =
      run_program({QUARNIX_TRAINER_BINARY, ground.work.string()}, in_work);
  ASSERT_EQ(trainer.status, 0) << trainer.out << trainer.err;
  const fs::path profile = ground.work / "readahead_profile.ba";
  ASSERT_TRUE(fs::exists(profile));

  const fs::path cachefile = ground.root / "cache";
  write_file(cachefile, std::string(400 * block_size, '\0'));
  QuarnixMount mount(ground.source, ground.mountpoint,
                     {"--log-all", "--v", "4", "--cachefile", cachefile.string(),
                      "--readahead-profile", profile.string()},
                     in_work);
  ASSERT_TRUE(mount.started()) << mount.process().err();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const BlockRead& read = pattern[i];
    EXPECT_EQ(read_block(ground.mountpoint, read),
              contents[read.file].substr(read.block * block_size, block_size));
    if (i + 1 < pattern.size()) {
      // Give the read-ahead thread its moment to fetch the predicted block.
      const block_id_t next(pattern[i + 1].file, pattern[i + 1].block);
      wait_for_line(mount, "prefetch_block: done with block " + std::to_string(next.value),
                    i < 3 ? std::chrono::milliseconds(200) : std::chrono::milliseconds(10000));
    }
  }
  ASSERT_EQ(mount.unmount_and_wait(), 0);
  const std::string err = mount.process().err();
  std::smatch stats;
  ASSERT_TRUE(
      std::regex_search(err, stats, std::regex("INFO: Cache stats: (\\d+) hits, (\\d+) misses\\.")))
      << err;
  // The first blocks only build the context (trail length 3); the rest were predicted.
  EXPECT_GE(std::stoi(stats[1]), static_cast<int>(pattern.size()) - 4) << err;
  ASSERT_TRUE(std::regex_search(err, stats, std::regex("\\s+(\\d+) hits \\(")));
  EXPECT_GE(std::stoi(stats[1]), static_cast<int>(pattern.size()) - 4) << err;
}

}  // namespace
}  // namespace quarnix::testing
