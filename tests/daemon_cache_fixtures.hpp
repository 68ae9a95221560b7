// The ground of the cache's mount tests: a pre-sized cache file beside the
// source, whole reads with one pread, and the daemon's hit and miss counts.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/quarnix_mount.hpp"

namespace quarnix::testing {

constexpr std::size_t chunk = 131072;

// A mount ground with a pre-sized cache file and the daemon's working directory.
struct CacheGround : MountGround {
  explicit CacheGround(std::size_t slots) : cachefile(root / "cache") {
    write_file(cachefile, std::string(slots * chunk, '\0'));
  }
  std::vector<std::string> options(std::vector<std::string> more = {}) const {
    std::vector<std::string> all{"--cachefile", cachefile.string()};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }
  std::filesystem::path cachefile;
};

struct CacheStats {
  long hits = -1;
  long misses = -1;
};

// The last statistics line the daemon printed.
inline CacheStats last_stats(const std::string& err) {
  CacheStats stats;
  const std::regex line("INFO: Cache stats: (-?\\d+) hits, (-?\\d+) misses\\.\n");
  for (auto it = std::sregex_iterator(err.begin(), err.end(), line); it != std::sregex_iterator();
       ++it) {
    stats.hits = std::stol((*it)[1]);
    stats.misses = std::stol((*it)[2]);
  }
  return stats;
}

inline std::size_t lines_of(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Asks the daemon for its statistics and waits for the two lines.
inline CacheStats stats_now(QuarnixMount& mount) {
  const std::size_t before = lines_of(mount.process().err());
  mount.process().signal(SIGUSR1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string err = mount.process().err();
    if (lines_of(err) >= before + 2) return last_stats(err);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return {};
}

}  // namespace quarnix::testing
