// Timed read workloads on a tree, shared by the benchmarks.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace quarnix::benchmarks {

struct Tree {
  std::filesystem::path large_file;
  std::vector<std::filesystem::path> small_files;  // relative to the tree root
};

// A large file and many small files in a few directories under `root`.
Tree generate_tree(const std::filesystem::path& root, std::size_t large_size, int small_count,
                   std::size_t small_size);

struct Timing {
  double seconds = 0;
  double bytes = 0;  // or operations, for stat
};

Timing read_sequentially(const std::filesystem::path& file, std::size_t block_size);
Timing read_randomly(const std::filesystem::path& file, std::size_t block_size, int count,
                     unsigned seed);
Timing read_all_files(const std::filesystem::path& root,
                      const std::vector<std::filesystem::path>& files);
Timing stat_all_files(const std::filesystem::path& root,
                      const std::vector<std::filesystem::path>& files);

}  // namespace quarnix::benchmarks
