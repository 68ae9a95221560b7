#include "benchmarks/workloads.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <fstream>
#include <random>
#include <stdexcept>

namespace quarnix::benchmarks {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int open_or_throw(const fs::path& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) throw std::runtime_error("cannot open " + path.string());
  return fd;
}

}  // namespace

Tree generate_tree(const fs::path& root, std::size_t large_size, int small_count,
                   std::size_t small_size) {
  Tree tree;
  tree.large_file = "large";
  {
    std::ofstream out(root / tree.large_file, std::ios::binary);
    std::mt19937_64 generator(1);
    std::vector<uint64_t> block(1 << 17);
    for (std::size_t written = 0; written < large_size; written += block.size() * 8) {
      for (auto& word : block)
        word = generator();
      out.write(reinterpret_cast<const char*>(block.data()),
                static_cast<std::streamsize>(std::min(block.size() * 8, large_size - written)));
    }
  }
  const std::string contents(small_size, 's');
  for (int i = 0; i < small_count; ++i) {
    const fs::path relative =
        fs::path("dir" + std::to_string(i % 8)) / ("file" + std::to_string(i));
    fs::create_directories(root / relative.parent_path());
    std::ofstream(root / relative, std::ios::binary) << contents;
    tree.small_files.push_back(relative);
  }
  return tree;
}

std::vector<fs::path> generate_metadata_tree(const fs::path& root, int directories,
                                             int files_per_folder, std::size_t file_size) {
  std::vector<fs::path> files;
  const std::string contents(file_size, 'm');
  for (int d = 0; d < directories; ++d) {
    for (int s = 0; s < 10; ++s) {
      const fs::path folder = fs::path("d" + std::to_string(d)) / ("s" + std::to_string(s));
      fs::create_directories(root / folder);
      for (int f = 0; f < files_per_folder; ++f) {
        const fs::path relative = folder / ("f" + std::to_string(f));
        std::ofstream(root / relative, std::ios::binary) << contents;
        files.push_back(relative);
      }
    }
  }
  return files;
}

std::vector<fs::path> generate_sized_files(const fs::path& root, int count, std::size_t min_size,
                                           std::size_t max_size) {
  std::vector<fs::path> files;
  for (int i = 0; i < count; ++i) {
    const std::size_t size = count == 1
                                 ? min_size
                                 : min_size + (max_size - min_size) * static_cast<std::size_t>(i) /
                                                  static_cast<std::size_t>(count - 1);
    const fs::path name = "file" + std::to_string(i);
    std::ofstream(root / name, std::ios::binary) << std::string(size, static_cast<char>('a' + i));
    files.push_back(name);
  }
  return files;
}

Timing read_sequentially(const fs::path& file, std::size_t block_size) {
  const int fd = open_or_throw(file);
  std::vector<char> buffer(block_size);
  const auto start = Clock::now();
  double total = 0;
  for (;;) {
    const ssize_t count = ::read(fd, buffer.data(), buffer.size());
    if (count <= 0) break;
    total += static_cast<double>(count);
  }
  const double elapsed = seconds_since(start);
  ::close(fd);
  return {elapsed, total};
}

Timing read_randomly(const fs::path& file, std::size_t block_size, int count, unsigned seed) {
  const int fd = open_or_throw(file);
  struct stat info {};
  ::fstat(fd, &info);
  const std::size_t blocks = static_cast<std::size_t>(info.st_size) / block_size;
  std::vector<char> buffer(block_size);
  std::mt19937 generator(seed);
  const auto start = Clock::now();
  double total = 0;
  for (int i = 0; i < count; ++i) {
    const off_t offset = static_cast<off_t>((generator() % blocks) * block_size);
    const ssize_t read = ::pread(fd, buffer.data(), block_size, offset);
    if (read > 0) total += static_cast<double>(read);
  }
  const double elapsed = seconds_since(start);
  ::close(fd);
  return {elapsed, total};
}

Timing read_all_files(const fs::path& root, const std::vector<fs::path>& files) {
  std::vector<char> buffer(1 << 16);
  const auto start = Clock::now();
  double total = 0;
  for (const auto& file : files) {
    const int fd = open_or_throw(root / file);
    for (;;) {
      const ssize_t count = ::read(fd, buffer.data(), buffer.size());
      if (count <= 0) break;
      total += static_cast<double>(count);
    }
    ::close(fd);
  }
  return {seconds_since(start), total};
}

Timing stat_all_files(const fs::path& root, const std::vector<fs::path>& files) {
  const auto start = Clock::now();
  double total = 0;
  for (const auto& file : files) {
    struct stat info {};
    if (::stat((root / file).c_str(), &info) == 0) total += 1;
  }
  return {seconds_since(start), total};
}

Timing run_listing(const std::vector<std::string>& arguments) {
  int pipe_ends[2];
  if (::pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  std::vector<char*> argv;
  for (const auto& argument : arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t child = -1;
  const int spawned = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_ends[1]);
  if (spawned != 0) {
    ::close(pipe_ends[0]);
    throw std::runtime_error("cannot start " + arguments[0]);
  }
  std::vector<char> buffer(1 << 16);
  double lines = 0;
  for (;;) {
    const ssize_t count = ::read(pipe_ends[0], buffer.data(), buffer.size());
    if (count <= 0) break;
    lines += static_cast<double>(std::count(buffer.data(), buffer.data() + count, '\n'));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  const double elapsed = seconds_since(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(arguments[0] + " failed");
  return {elapsed, lines};
}

Timing create_write_unlink(const fs::path& directory, int count, std::size_t size) {
  const std::string contents(size, 'w');
  std::vector<fs::path> names;
  for (int i = 0; i < count; ++i)
    names.push_back(directory / ("new" + std::to_string(i)));
  const auto start = Clock::now();
  for (const auto& name : names) {
    const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + name.string());
    const ssize_t written = ::write(fd, contents.data(), contents.size());
    ::close(fd);
    if (written != static_cast<ssize_t>(contents.size()))
      throw std::runtime_error("cannot write " + name.string());
  }
  for (const auto& name : names)
    if (::unlink(name.c_str()) != 0) throw std::runtime_error("cannot unlink " + name.string());
  return {seconds_since(start), static_cast<double>(count)};
}

}  // namespace quarnix::benchmarks
