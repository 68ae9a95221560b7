// Copying chunks into the cache file, within one filesystem and across two.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "cache/cache.hpp"
#include "cache/copy_chunk.hpp"
#include "tests/cache_test_files.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

constexpr uint64_t chunk = 4096;

UniqueFd open_destination(const std::filesystem::path& path) {
  return UniqueFd(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

TEST(CopyChunk, CopiesUpToTheEndOfTheSource) {
  const TempDir dir;
  const SourceFile source(dir / "source", 3 * chunk + 10);
  const UniqueFd destination = open_destination(dir / "destination");
  struct stat seen {};
  EXPECT_EQ(copy_chunk(source.fd.get(), chunk, destination.get(), 2 * chunk, chunk, &seen), chunk);
  EXPECT_EQ(read_at(destination.get(), 2 * chunk, chunk), source_bytes(chunk, chunk));
  EXPECT_EQ(seen.st_ino, source.ino);

  EXPECT_EQ(copy_chunk(source.fd.get(), 3 * chunk, destination.get(), 0, chunk), 10u);
  EXPECT_EQ(read_at(destination.get(), 0, 10), source_bytes(3 * chunk, 10));
  EXPECT_EQ(copy_chunk(source.fd.get(), 3 * chunk + 10, destination.get(), 0, chunk), 0u);
  EXPECT_EQ(copy_chunk(source.fd.get(), 5 * chunk, destination.get(), 0, chunk), 0u);
}

class CrossFilesystemTest : public ::testing::Test {
 protected:
  TempDir dir;
  TmpfsMount other{dir / "tmpfs", "4m"};
};

// copy_file_range refuses to copy between these two filesystems; the copy
// goes on with plain reads and writes.
TEST_F(CrossFilesystemTest, FallsBackToPlainCopies) {
  const uint64_t size = 200000;  // several rounds of the copy buffer
  const SourceFile source(dir / "source", size);
  const UniqueFd destination = open_destination(other.mountpoint / "destination");
  off_t in = 0;
  off_t out = 0;
  ASSERT_EQ(::copy_file_range(source.fd.get(), &in, destination.get(), &out, 10, 0), -1);
  ASSERT_EQ(errno, EXDEV);

  EXPECT_EQ(copy_chunk(source.fd.get(), 0, destination.get(), 4096, size + 500), size);
  EXPECT_EQ(read_at(destination.get(), 4096, size + 1), source_bytes(0, size));
  EXPECT_EQ(copy_chunk(source.fd.get(), size - 7, destination.get(), 0, chunk), 7u);
  EXPECT_EQ(read_at(destination.get(), 0, 7), source_bytes(size - 7, 7));
}

TEST_F(CrossFilesystemTest, CacheOnAnotherFilesystemServesTheRightBytes) {
  const std::filesystem::path cache_path = other.mountpoint / "cachefile";
  make_cache_file(cache_path, 4 * chunk);
  const uint64_t size = 2 * chunk + 300;
  const SourceFile source(dir / "source", size);
  StreamCapture capture;
  Cache cache(cache_path.string(), chunk);
  for (uint64_t chunkno = 0; chunkno < 3; ++chunkno) {
    const locked_element_ptr element = cache.lookup_or_insert(source.ino, chunkno, source.fd.get());
    EXPECT_EQ(slot_bytes(cache, *element), expected_chunk(cache, chunkno, size));
  }
  write_at(source.fd.get(), "rewritten", 2 * chunk);
  const locked_element_ptr refreshed = cache.update(source.ino, 2, source.fd.get());
  ASSERT_TRUE(refreshed);
  EXPECT_EQ(slot_bytes(cache, *refreshed), "rewritten" + source_bytes(2 * chunk + 9, 291));
}

}  // namespace
}  // namespace quarnix::testing
