// A recurring pattern of blocks scattered over many files, and a reader that
// walks it: shared by the benchmarks of the two prefetching programs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace quarnix::benchmarks {

inline constexpr std::size_t pattern_block_size = 131072;

struct BlockRead {
  std::string file;  // relative to the tree root
  off_t offset;
};

// Writes `files` files of `blocks_per_file` blocks into `source` and returns
// `length` distinct blocks of them in a fixed random order.
std::vector<BlockRead> write_pattern_tree(const std::filesystem::path& source, int files,
                                          int blocks_per_file, std::size_t length);

struct ReaderRun {
  double seconds = 0;
  std::vector<std::uint64_t> read_end_ns;  // since the start, per read
  int fast_reads = 0;                      // quicker than `fast`
};

// Reads every block of the pattern below `root` in its own open, working
// `work` after each block.
ReaderRun read_pattern(const std::filesystem::path& root, const std::vector<BlockRead>& pattern,
                       std::chrono::microseconds work,
                       std::chrono::microseconds fast = std::chrono::microseconds(0));

}  // namespace quarnix::benchmarks
