// Writes the source takes only in part, or refuses as they come: the
// application learns of every byte that did not land, and direct I/O works.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <memory>

#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

// The errno of the first of write, fsync and close that failed; 0 if none did.
int first_failure_writing(const fs::path& path, const std::string& data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return errno;
  int failure = 0;
  std::size_t done = 0;
  while (done < data.size() && failure == 0) {
    const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
    if (written < 0)
      failure = errno;
    else
      done += static_cast<std::size_t>(written);
  }
  if (::fsync(fd) != 0 && failure == 0) failure = errno;
  if (::close(fd) != 0 && failure == 0) failure = errno;
  return failure;
}

class FullSource : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(FullSource, WriteFailsVisiblyAndTheMountShowsWhatLanded) {
  MountGround ground;
  const TmpfsMount small(ground.source, "256k");
  std::vector<std::string> options = GetParam();
  options.insert(options.end(), {"--v", "4"});
  QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  const std::string data = random_bytes(640 << 10, 1);
  EXPECT_EQ(first_failure_writing(ground.mountpoint / "file", data), ENOSPC);
  // What landed is the beginning of the data, each byte in its place.
  const std::string landed = read_file(ground.source / "file");
  EXPECT_LT(landed.size(), data.size());
  EXPECT_TRUE(landed == data.substr(0, landed.size())) << "bytes out of place";
  // The kernel's writeback cache keeps its own size of a file it holds; once
  // it has let go of the file, the mount shows the source.
  struct stat info {};
  ASSERT_EQ(::stat((ground.source / "file").c_str(), &info), 0);
  ASSERT_TRUE(mount.wait_for_forget(info.st_ino));
  EXPECT_EQ(fs::file_size(ground.mountpoint / "file"), landed.size());
  EXPECT_TRUE(read_file(ground.mountpoint / "file") == landed)
      << "the mount differs from the source";
  EXPECT_EQ(mount.process().err().find("INTERNAL ERROR"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Caching, FullSource,
                         ::testing::Values(std::vector<std::string>{},
                                           std::vector<std::string>{"--log-all"}));

struct FreeMemory {
  void operator()(char* memory) const { ::free(memory); }
};

// `bytes` in memory aligned for direct I/O.
std::unique_ptr<char, FreeMemory> aligned_copy(const std::string& bytes) {
  void* memory = nullptr;
  if (::posix_memalign(&memory, 4096, bytes.size()) != 0) return nullptr;
  std::copy(bytes.begin(), bytes.end(), static_cast<char*>(memory));
  return std::unique_ptr<char, FreeMemory>(static_cast<char*>(memory));
}

enum class Mode { plain, cache, log_all };

class DirectWrites : public ::testing::TestWithParam<Mode> {};

TEST_P(DirectWrites, LandInTheSource) {
  MountGround ground;
  std::vector<std::string> options;
  if (GetParam() == Mode::cache) {
    write_file(ground.root / "cache", std::string(16 << 17, '\0'));
    options = {"--cachefile", (ground.root / "cache").string()};
  } else if (GetParam() == Mode::log_all) {
    options = {"--log-all"};
  }
  QuarnixMount mount(ground.source, ground.mountpoint, options, in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();

  // An aligned write the source takes directly, and one it refuses with
  // O_DIRECT: neither size nor offset is a multiple of a block.
  const std::string aligned = random_bytes(64 << 10, 2);
  const std::string unaligned = random_bytes(1000, 3);
  const auto aligned_memory = aligned_copy(aligned);
  const auto unaligned_memory = aligned_copy(unaligned);
  ASSERT_TRUE(aligned_memory && unaligned_memory);
  const int fd =
      ::open((ground.mountpoint / "file").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT, 0644);
  ASSERT_GE(fd, 0) << strerror(errno);
  EXPECT_EQ(::pwrite(fd, aligned_memory.get(), aligned.size(), 0),
            static_cast<ssize_t>(aligned.size()))
      << strerror(errno);
  EXPECT_EQ(::pwrite(fd, unaligned_memory.get(), unaligned.size(), 70000),
            static_cast<ssize_t>(unaligned.size()))
      << strerror(errno);
  EXPECT_EQ(::close(fd), 0);

  std::string expected = aligned + std::string(70000 - aligned.size(), '\0') + unaligned;
  EXPECT_TRUE(read_file(ground.source / "file") == expected) << "the source differs";
  EXPECT_TRUE(read_file(ground.mountpoint / "file") == expected) << "the mount differs";
}

INSTANTIATE_TEST_SUITE_P(Modes, DirectWrites,
                         ::testing::Values(Mode::plain, Mode::cache, Mode::log_all));

}  // namespace
}  // namespace quarnix::testing
