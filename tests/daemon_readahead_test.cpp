// Profile-driven read-ahead through the real daemon: predicted blocks reach
// the cache before they are read, and the statistics count the predictions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <boost/archive/binary_oarchive.hpp>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "profile/profile_file.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/sanitizers.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t block_size = 131072;

std::string read_block(const fs::path& path, uint64_t block) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::string data(block_size, '\0');
  const ssize_t count =
      ::pread(fd, data.data(), block_size, static_cast<off_t>(block * block_size));
  ::close(fd);
  data.resize(count < 0 ? 0 : static_cast<std::size_t>(count));
  return data;
}

// A profile of trail length 1: each listed block predicts its successors.
void write_chain_profile(
    const fs::path& path,
    const std::vector<std::pair<block_id_t, std::vector<std::pair<block_id_t, double>>>>& chain,
    const ProfilePaths& paths) {
  BlockNode root;
  root.name = "(root)";
  for (const auto& [block, predictions] : chain) {
    BlockNode& node = root.children[block];
    node.name = "context";
    node.predictions = predictions;
  }
  write_profile(path.string(), ProfileSettings{false, block_size, 1}, paths, root);
}

struct ReadaheadGround : MountGround {
  ReadaheadGround() : cachefile(root / "cache"), profile(root / "profile.ba") {
    write_file(cachefile, std::string(32 * block_size, '\0'));
  }
  fs::path cachefile;
  fs::path profile;
};

// Waits until the daemon has logged `count` finished prefetches in all.
bool wait_for_prefetches(QuarnixMount& mount, std::size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string out = mount.process().out();
    std::size_t found = 0;
    for (std::size_t at = out.find("prefetch_block: done with block"); at != std::string::npos;
         at = out.find("prefetch_block: done with block", at + 1))
      ++found;
    if (found >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::vector<std::string> daemon_options(const ReadaheadGround& ground) {
  // --log-all: no kernel read-ahead or page cache, so every read reaches the daemon.
  return {"--log-all",
          "--v",
          "4",
          "--cachefile",
          ground.cachefile.string(),
          "--readahead-profile",
          ground.profile.string()};
}

TEST(DaemonReadahead, PredictedBlocksAreInTheCacheBeforeTheyAreRead) {
  ReadaheadGround ground;
  const std::string data = random_bytes(4 * block_size, 1);
  write_file(ground.source / "a", data);
  const auto a = [](uint32_t block) { return block_id_t("a", block); };
  write_chain_profile(ground.profile,
                      {{a(0), {{a(1), 1.0}}}, {a(1), {{a(2), 1.0}}}, {a(2), {{a(3), 1.0}}}},
                      {{hash_path("a"), "a"}});
  const ProcessOptions in_work = in_directory(ground.work);
  QuarnixMount mount(ground.source, ground.mountpoint, daemon_options(ground), in_work);
  ASSERT_TRUE(mount.started()) << mount.process().err();

  const fs::path file = ground.mountpoint / "a";
  std::size_t prefetches = 0;
  for (uint64_t block = 0; block < 4; ++block) {
    EXPECT_EQ(read_block(file, block), data.substr(block * block_size, block_size));
    // Each read starts a pass over the rest of the chain: 3, 2, 1, then nothing.
    prefetches += 3 - block;
    ASSERT_TRUE(wait_for_prefetches(mount, prefetches)) << mount.process().out();
  }
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  const std::string err = mount.process().err();
  EXPECT_NE(err.find("INFO: Cache stats: 3 hits, 1 misses.\n"
                     "INFO: Read-ahead stats:\n"
                     "       3 total predictions\n"
                     "       3 expected first hits\n"
                     "       3 expected hits\n"
                     "       3 first hits (100.00% of expected, 100.00% of total)\n"
                     "       3 hits (100.00% of expected, 100.00% of total)\n"
                     "       0 hits not pre-fetched in time (0.00%)\n"),
            std::string::npos)
      << err << mount.process().out();
}

TEST(DaemonReadahead, StatisticsWeighEveryPrediction) {
  ReadaheadGround ground;
  const std::string data = random_bytes(3 * block_size, 2);
  write_file(ground.source / "a", data);
  const auto a = [](uint32_t block) { return block_id_t("a", block); };
  write_chain_profile(ground.profile, {{a(0), {{a(1), 0.6}, {a(2), 0.3}}}},
                      {{hash_path("a"), "a"}});
  const ProcessOptions in_work = in_directory(ground.work);
  QuarnixMount mount(ground.source, ground.mountpoint, daemon_options(ground), in_work);
  ASSERT_TRUE(mount.started()) << mount.process().err();

  const fs::path file = ground.mountpoint / "a";
  EXPECT_EQ(read_block(file, 0), data.substr(0, block_size));
  ASSERT_TRUE(wait_for_prefetches(mount, 2));
  EXPECT_EQ(read_block(file, 2), data.substr(2 * block_size, block_size));
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_NE(mount.process().err().find("INFO: Read-ahead stats:\n"
                                       "       1 total predictions\n"
                                       "       1 expected first hits\n"
                                       "       1 expected hits\n"
                                       "       0 first hits (0.00% of expected, 0.00% of total)\n"
                                       "       1 hits (111.11% of expected, 100.00% of total)\n"
                                       "       0 hits not pre-fetched in time (0.00%)\n"),
            std::string::npos)
      << mount.process().err();
}

// The profile knows the file as "a"; the daemon first met it as "b". A lookup
// under the new name gives its reads the block ids of "a".
TEST(DaemonReadahead, AFileRenamedBehindTheDaemonIsScoredUnderItsNewPath) {
  ReadaheadGround ground;
  const std::string data = random_bytes(2 * block_size, 7);
  write_file(ground.source / "b", data);
  const auto a = [](uint32_t block) { return block_id_t("a", block); };
  write_chain_profile(ground.profile, {{a(0), {{a(1), 1.0}}}}, {{hash_path("a"), "a"}});
  QuarnixMount mount(ground.source, ground.mountpoint, daemon_options(ground),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  struct stat info {};
  ASSERT_EQ(::stat((ground.mountpoint / "b").c_str(), &info), 0);
  fs::rename(ground.source / "b", ground.source / "a");
  EXPECT_EQ(read_block(ground.mountpoint / "a", 0), data.substr(0, block_size));
  ASSERT_TRUE(wait_for_prefetches(mount, 1)) << mount.process().out();
  EXPECT_EQ(read_block(ground.mountpoint / "a", 1), data.substr(block_size));
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_NE(mount.process().err().find("       1 first hits (100.00% of expected, 100.00% of "
                                       "total)\n"),
            std::string::npos)
      << mount.process().err();
}

TEST(DaemonReadahead, PredictionsOfMissingFilesDoNotDisturbReads) {
  ReadaheadGround ground;
  const std::string data = random_bytes(2 * block_size, 3);
  write_file(ground.source / "a", data);
  const auto a = [](uint32_t block) { return block_id_t("a", block); };
  const block_id_t gone("gone", 0);
  const block_id_t unlisted(0x12345678u, 0);
  write_chain_profile(ground.profile, {{a(0), {{gone, 0.5}, {unlisted, 0.3}, {a(1), 0.2}}}},
                      {{hash_path("a"), "a"}, {hash_path("gone"), "gone"}});
  const ProcessOptions in_work = in_directory(ground.work);
  QuarnixMount mount(ground.source, ground.mountpoint, daemon_options(ground), in_work);
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_EQ(read_block(ground.mountpoint / "a", 0), data.substr(0, block_size));
  ASSERT_TRUE(wait_for_prefetches(mount, 1));
  EXPECT_EQ(read_block(ground.mountpoint / "a", 1), data.substr(block_size, block_size));
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  const std::string err = mount.process().err();
  EXPECT_NE(err.find("WARNING: readahead(" + std::to_string(gone.value) +
                     "): lookup(gone): No such file or directory"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("INFO: Cache stats: 1 hits, 1 misses."), std::string::npos) << err;
  EXPECT_EQ(err.find("INTERNAL ERROR"), std::string::npos);
}

// Waits until the daemon's standard error holds every one of `lines`.
bool wait_for_errors(QuarnixMount& mount, const std::vector<std::string>& lines) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string err = mount.process().err();
    if (std::all_of(lines.begin(), lines.end(),
                    [&](const std::string& line) { return err.find(line) != std::string::npos; }))
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

std::string readahead_warning(block_id_t id, const std::string& text) {
  return "WARNING: readahead(" + std::to_string(id.value) + "): " + text + "\n";
}

TEST(DaemonReadahead, ProfilePathsNeverLeadOutOfTheSource) {
  ReadaheadGround ground;
  const fs::path outside = ground.root / "outside";
  fs::create_directory(outside);
  const std::string secret = random_bytes(block_size, 4);
  write_file(outside / "secret", secret);
  fs::create_directory_symlink(outside, ground.source / "linked");
  fs::create_symlink(outside / "secret", ground.source / "alias");
  const std::string data = random_bytes(block_size, 5);
  write_file(ground.source / "a", data);
  const block_id_t through_directory("linked/secret", 0);
  const block_id_t through_name("alias", 0);
  write_chain_profile(ground.profile,
                      {{block_id_t("a", 0), {{through_directory, 0.6}, {through_name, 0.3}}}},
                      {{hash_path("a"), "a"},
                       {hash_path("linked/secret"), "linked/secret"},
                       {hash_path("alias"), "alias"}});
  QuarnixMount mount(ground.source, ground.mountpoint, daemon_options(ground),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  EXPECT_EQ(read_block(ground.mountpoint / "a", 0), data);
  EXPECT_TRUE(wait_for_errors(
      mount, {readahead_warning(through_directory,
                                "lookup(linked/secret): Too many levels of symbolic links"),
              readahead_warning(through_name, "alias is not a regular file")}))
      << mount.process().err();
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_EQ(read_file(ground.cachefile).find(secret.substr(0, 64)), std::string::npos);
}

TEST(DaemonReadahead, WhatIsNotARegularFileIsSkippedAndUnmountEndsTheDaemon) {
  ReadaheadGround ground;
  const std::string data = random_bytes(block_size, 6);
  write_file(ground.source / "a", data);
  ASSERT_EQ(::mkfifo((ground.source / "fifo").c_str(), 0644), 0);
  // A null device of the test's own; opening a device may do anything.
  ASSERT_EQ(::mknod((ground.source / "device").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
  const block_id_t fifo("fifo", 0);
  const block_id_t device("device", 0);
  write_chain_profile(
      ground.profile, {{block_id_t("a", 0), {{fifo, 0.6}, {device, 0.3}}}},
      {{hash_path("a"), "a"}, {hash_path("fifo"), "fifo"}, {hash_path("device"), "device"}});
  QuarnixMount mount(ground.source, ground.mountpoint, daemon_options(ground),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  EXPECT_EQ(read_block(ground.mountpoint / "a", 0), data);
  EXPECT_TRUE(wait_for_errors(mount, {readahead_warning(fifo, "fifo is not a regular file"),
                                      readahead_warning(device, "device is not a regular file")}))
      << mount.process().err();
  EXPECT_EQ(mount.unmount_and_wait(), 0);
  EXPECT_TRUE(fs::exists(ground.cachefile.string() + ".meta"));
}

// Every length and count of a profile, made absurd in turn: the daemon refuses
// the file before it allocates what the file claims.
TEST(DaemonReadahead, SizesInACorruptProfileAreCheckedBeforeAnyAllocation) {
  ReadaheadGround ground;
  write_chain_profile(ground.profile, {{block_id_t("a", 0), {{block_id_t("b", 0), 0.5}}}},
                      {{hash_path("a"), "a"}, {hash_path("b"), "b"}});
  const std::string good = read_file(ground.profile);
  const fs::path corrupt = ground.root / "corrupt.ba";
  const fs::path small_cache = ground.root / "small-cache";
  write_file(small_cache, std::string(block_size, '\0'));
  const std::string two_to_the_30("\0\0\0\x40", 4);
  for (std::size_t at = 0; at + sizeof(uint64_t) <= good.size(); ++at) {
    // Only eight bytes that could hold a length or a count: no more than the file.
    uint64_t value = 0;
    good.copy(reinterpret_cast<char*>(&value), sizeof value, at);
    if (value > good.size()) continue;
    std::string bytes = good;
    bytes.replace(at, two_to_the_30.size(), two_to_the_30);
    write_file(corrupt, bytes);
    // In 256 MiB of address space; a start that gets past the profile ends at
    // the missing mountpoint. A sanitized daemon reserves terabytes of address
    // space for its shadow memory: there the sanitizer's limit on a single
    // allocation stands in, and an allocation beyond it is a sanitizer report.
    std::vector<std::string> command = {quarnix_binary(),
                                        "--cachefile",
                                        small_cache.string(),
                                        "--readahead-profile",
                                        corrupt.string(),
                                        ground.source.string(),
                                        (ground.root / "none").string()};
    ProcessOptions options;
    if (sanitized_build)
      options.environment = {"ASAN_OPTIONS=max_allocation_size_mb=256",
                             "TSAN_OPTIONS=max_allocation_size_mb=256"};
    else
      command.insert(command.begin(), {"prlimit", "--as=268435456"});
    const ProgramResult result = run_program(command, options);
    const bool refused = (result.status == 6 || result.status == 7) &&
                         result.err.find("eadahead profile") != std::string::npos;
    const bool loaded =
        result.status == 1 && result.err.find("failed to stat mountpoint") != std::string::npos;
    EXPECT_TRUE(refused || loaded) << "at " << at << ": " << result.status << " " << result.err;
    EXPECT_EQ(result.err.find("memory"), std::string::npos) << "at " << at << ": " << result.err;
  }
}

TEST(DaemonReadahead, ProfilesTheDaemonCannotUseAreRefused) {
  ReadaheadGround ground;
  const std::vector<std::string> paths = {ground.source.string(), ground.mountpoint.string()};
  // The cache comes up before the profile is read.
  const std::string cache_line = "INFO: No cache metadata found, re-initializing.\n";
  auto run = [&](const fs::path& profile) {
    ProgramResult result =
        run_program({quarnix_binary(), "--cachefile", ground.cachefile.string(),
                     "--readahead-profile", profile.string(), paths[0], paths[1]});
    if (result.err.rfind(cache_line, 0) == 0) result.err.erase(0, cache_line.size());
    return result;
  };
  BlockNode root;
  root.name = "(root)";
  write_profile((ground.root / "kernel.ba").string(), ProfileSettings{true, block_size, 3}, {},
                root);
  ProgramResult result = run(ground.root / "kernel.ba");
  EXPECT_EQ(result.status, 7);
  EXPECT_EQ(result.err, "ERROR: Readahead profile not created from Quarnix read logs.\n");

  write_profile((ground.root / "small.ba").string(), ProfileSettings{false, 65536, 3}, {}, root);
  result = run(ground.root / "small.ba");
  EXPECT_EQ(result.status, 7);
  EXPECT_EQ(result.err, "quarnix: Readahead profile blocksize must match cache blocksize.\n");

  write_profile((ground.root / "escape.ba").string(), ProfileSettings{false, block_size, 3},
                {{hash_path("../etc/passwd"), "../etc/passwd"}}, root);
  result = run(ground.root / "escape.ba");
  EXPECT_EQ(result.status, 6);
  EXPECT_EQ(result.err,
            "quarnix: ERROR: Readahead profile names a path outside the tree: \"../etc/passwd\"\n");

  write_profile((ground.root / "good.ba").string(), ProfileSettings{false, block_size, 3}, {},
                root);
  const std::string good = read_file(ground.root / "good.ba");
  write_file(ground.root / "truncated.ba", good.substr(0, good.size() - 3));
  result = run(ground.root / "truncated.ba");
  EXPECT_EQ(result.status, 6);
  EXPECT_EQ(result.err.rfind("quarnix: ERROR: Unable to read readahead profile ", 0), 0u)
      << result.err;

  result = run(ground.root / "missing.ba");
  EXPECT_EQ(result.status, 6);
  EXPECT_NE(result.err.find("No such file or directory"), std::string::npos) << result.err;

  {
    std::ofstream out(ground.root / "format.ba", std::ios::binary);
    boost::archive::binary_oarchive archive(out, 0);
    const int format = 4;
    archive << format;
  }
  result = run(ground.root / "format.ba");
  EXPECT_EQ(result.status, 6);
  EXPECT_EQ(result.err, "quarnix: Readahead profile has unsupported format.\n");
}

}  // namespace
}  // namespace quarnix::testing
