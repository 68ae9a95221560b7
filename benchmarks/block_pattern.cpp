#include "benchmarks/block_pattern.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <stdexcept>
#include <thread>

namespace quarnix::benchmarks {

std::vector<BlockRead> write_pattern_tree(const std::filesystem::path& source, int files,
                                          int blocks_per_file, std::size_t length) {
  const std::string data(blocks_per_file * pattern_block_size, 'd');
  std::vector<BlockRead> pattern;
  for (int f = 0; f < files; ++f) {
    const std::string name = "f" + std::to_string(f);
    std::ofstream(source / name, std::ios::binary) << data;
    for (int b = 0; b < blocks_per_file; ++b)
      pattern.push_back({name, static_cast<off_t>(b) * static_cast<off_t>(pattern_block_size)});
  }
  std::shuffle(pattern.begin(), pattern.end(), std::mt19937(11));
  pattern.resize(std::min(length, pattern.size()));
  return pattern;
}

ReaderRun read_pattern(const std::filesystem::path& root, const std::vector<BlockRead>& pattern,
                       std::chrono::microseconds work, std::chrono::microseconds fast) {
  using Clock = std::chrono::steady_clock;
  ReaderRun run;
  std::vector<char> buffer(pattern_block_size);
  const auto start = Clock::now();
  for (const auto& read : pattern) {
    const auto read_start = Clock::now();
    const int fd = ::open((root / read.file).c_str(), O_RDONLY);
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    const ssize_t got = ::pread(fd, buffer.data(), pattern_block_size, read.offset);
    ::close(fd);
    if (got != static_cast<ssize_t>(pattern_block_size))
      throw std::runtime_error("short read of " + read.file);
    const auto read_end = Clock::now();
    if (read_end - read_start < fast) ++run.fast_reads;
    run.read_end_ns.push_back(static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(read_end - start).count()));
    std::this_thread::sleep_for(work);
  }
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

}  // namespace quarnix::benchmarks
