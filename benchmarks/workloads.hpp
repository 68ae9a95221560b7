// Timed read and metadata workloads on a tree, shared by the benchmarks.
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

// Many small files in nested directories under `root`: `directories` folders
// of ten subfolders of `files_per_folder` files of `file_size` bytes each.
// The files' paths relative to `root`.
std::vector<std::filesystem::path> generate_metadata_tree(const std::filesystem::path& root,
                                                          int directories, int files_per_folder,
                                                          std::size_t file_size);

// `count` files straight under `root`, their sizes spread evenly from
// `min_size` to `max_size` bytes; their names.
std::vector<std::filesystem::path> generate_sized_files(const std::filesystem::path& root,
                                                        int count, std::size_t min_size,
                                                        std::size_t max_size);

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

// Runs a program with its output read through a pipe; operations are the
// lines it printed (`find` names, `ls -lR` lines).
Timing run_listing(const std::vector<std::string>& arguments);
// Creates `count` files in `directory`, writes `size` bytes into each and
// closes it, then unlinks them all; operations are the files.
Timing create_write_unlink(const std::filesystem::path& directory, int count, std::size_t size);

}  // namespace quarnix::benchmarks
