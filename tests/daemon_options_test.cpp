// The options a user sets, each run through the real daemon beside a mount
// without it, and the rule that a cache file changed between runs (a chmod, a
// rename, a copy) starts empty.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/unique_fd.hpp"
#include "tests/daemon_cache_fixtures.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

// What the daemon's descriptors of `path` were opened with: how many carry O_DIRECT.
int direct_descriptors(pid_t pid, const fs::path& path) {
  const std::string process = "/proc/" + std::to_string(pid);
  int count = 0;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(process + "/fd", error)) {
    if (fs::read_symlink(entry.path(), error) != path) continue;
    const std::string info = read_file(process + "/fdinfo/" + entry.path().filename().string());
    const std::size_t flags = info.find("flags:");
    if (flags != std::string::npos && (std::stoul(info.substr(flags + 6), nullptr, 8) & O_DIRECT))
      ++count;
  }
  return count;
}

// A source file of two cache chunks, a cache file of eight, the mount.
struct OptionGround : CacheGround {
  OptionGround() : CacheGround(8), data(random_bytes(2 * chunk, 3)) {
    write_file(source / "file", data);
  }
  fs::path file() const { return mountpoint / "file"; }
  std::string data;
};

using Check = std::function<void(OptionGround&, QuarnixMount&)>;

// One-byte reads at each offset, one request each (--log-all): which hit a
// chunk that an earlier one filled shows the chunk size.
Check hits_and_misses(std::vector<std::size_t> offsets, long hits, long misses) {
  return [=](OptionGround& ground, QuarnixMount& mount) {
    for (const std::size_t offset : offsets)
      EXPECT_EQ(read_range(ground.file(), offset, 1), ground.data.substr(offset, 1)) << offset;
    const CacheStats stats = stats_now(mount);
    EXPECT_EQ(stats.hits, hits);
    EXPECT_EQ(stats.misses, misses);
  };
}

// An open with O_DIRECT reads the file's bytes; whether the daemon's source
// descriptor carries the flag too.
Check direct_reads(bool flag_reaches_the_source) {
  return [=](OptionGround& ground, QuarnixMount& mount) {
    const UniqueFd fd(::open(ground.file().c_str(), O_RDONLY | O_DIRECT));
    ASSERT_TRUE(fd) << std::strerror(errno);
    const std::unique_ptr<char, decltype(&::free)> buffer(
        static_cast<char*>(std::aligned_alloc(4096, chunk)), ::free);
    ASSERT_EQ(::pread(fd.get(), buffer.get(), chunk, 0), static_cast<ssize_t>(chunk));
    EXPECT_TRUE(std::string(buffer.get(), chunk) == ground.data.substr(0, chunk));
    EXPECT_EQ(direct_descriptors(mount.process().pid(), fs::canonical(ground.source / "file")) > 0,
              flag_reaches_the_source);
  };
}

// The file read whole twice, closed between: whether the second read reaches
// the daemon or is served from the kernel's page cache.
Check reread_after_reopen(bool reaches_the_daemon) {
  return [=](OptionGround& ground, QuarnixMount& mount) {
    EXPECT_TRUE(read_file(ground.file()) == ground.data);
    const CacheStats first = stats_now(mount);
    EXPECT_TRUE(read_file(ground.file()) == ground.data);
    const CacheStats second = stats_now(mount);
    EXPECT_GT(first.hits + first.misses, 0);
    EXPECT_EQ(second.hits + second.misses > first.hits + first.misses, reaches_the_daemon);
  };
}

// Each read request from the source waits its size divided by `rate`: the
// file read one chunk after the other (--log-all) takes at least its size
// divided by the rate.
Check limited_to(double rate) {
  return [=](OptionGround& ground, QuarnixMount&) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t offset = 0; offset < ground.data.size(); offset += chunk)
      EXPECT_TRUE(read_range(ground.file(), offset, chunk) == ground.data.substr(offset, chunk));
    const std::chrono::duration<double> taken = std::chrono::steady_clock::now() - start;
    EXPECT_GE(taken.count(), static_cast<double>(ground.data.size()) / rate);
  };
}

TEST(DaemonOptions, EachOptionDoesWhatItSays) {
  struct Case {
    std::vector<std::string> options;  // beside --cachefile
    Check check;
  };
  const std::string half_chunk = std::to_string(chunk / 2);
  const Case cases[] = {
      {{"--log-all"}, hits_and_misses({0, chunk / 2 - 1, chunk / 2}, 2, 1)},
      {{"--log-all", "--cache-blocksize", half_chunk},
       hits_and_misses({0, chunk / 2 - 1, chunk / 2}, 1, 2)},
      {{}, direct_reads(true)},
      {{"--swallow-odirect"}, direct_reads(false)},
      {{}, reread_after_reopen(false)},
      {{"--disable-vfscache"}, reread_after_reopen(true)},
      // Two chunks at eight a second: a quarter of a second at least.
      {{"--log-all", "--delay-reads", std::to_string(8 * chunk)}, limited_to(8 * chunk)},
  };
  for (const Case& c : cases) {
    std::string name = "options:";
    for (const std::string& option : c.options)
      name += " " + option;
    SCOPED_TRACE(name);
    OptionGround ground;
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(c.options),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    c.check(ground, mount);
    EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
  }
}

// The metadata of the first run is trusted only for the cache file as it
// left it: the second run serves the first run's chunk only when nothing
// was done to the file. Each change keeps the file's bytes and its
// modification time.
TEST(DaemonOptions, ACacheFileChangedBetweenRunsStartsEmpty) {
  struct Case {
    std::string change;
    std::function<fs::path(const fs::path& cachefile)> apply;  // the cache file to use next
  };
  const auto with_meta = [](const fs::path& file) { return fs::path(file.string() + ".meta"); };
  const Case cases[] = {
      {"none", [](const fs::path& cachefile) { return cachefile; }},
      {"chmod",
       [](const fs::path& cachefile) {
         fs::permissions(cachefile, fs::perms::group_write, fs::perm_options::add);
         return cachefile;
       }},
      {"rename",
       [&](const fs::path& cachefile) {
         const fs::path renamed = cachefile.parent_path() / "renamed";
         fs::rename(cachefile, renamed);
         fs::rename(with_meta(cachefile), with_meta(renamed));
         return renamed;
       }},
      {"copy",
       [&](const fs::path& cachefile) {
         const fs::path copy = cachefile.parent_path() / "copy";
         fs::copy_file(cachefile, copy);
         fs::copy_file(with_meta(cachefile), with_meta(copy));
         fs::last_write_time(copy, fs::last_write_time(cachefile));
         return copy;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.change);
    OptionGround ground;
    {
      QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                         in_directory(ground.work));
      ASSERT_TRUE(mount.started()) << mount.process().err();
      EXPECT_EQ(read_range(ground.file(), 0, chunk), ground.data.substr(0, chunk));
      EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
    }
    const fs::path cachefile = c.apply(ground.cachefile);
    QuarnixMount mount(ground.source, ground.mountpoint,
                       {"--log-all", "--cachefile", cachefile.string()}, in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_EQ(read_range(ground.file(), 0, chunk), ground.data.substr(0, chunk));
    EXPECT_EQ(stats_now(mount).misses, c.change == "none" ? 0 : 1) << mount.process().err();
    EXPECT_EQ(mount.unmount_and_wait(), 0) << mount.process().err();
  }
}

}  // namespace
}  // namespace quarnix::testing
