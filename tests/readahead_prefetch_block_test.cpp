// Prefetching through the daemon's own handlers on a source tree, without a
// mount: the handlers need only the global state's source root.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "daemon/open_file.hpp"
#include "daemon/operations.hpp"
#include "daemon/readahead_lookup.hpp"
#include "daemon/readahead_loop.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {
namespace {

using readahead_state = abstract_readahead_state_t<fuse_file_handle>;

class PrefetchBlockTest : public ::testing::Test {
 protected:
  PrefetchBlockTest() {
    std::filesystem::create_directory(source / "dir");
    write_file(source / "a", std::string(3 * 4096, 'a'));
    write_file(source / "dir/b", "b");
    char* real = ::realpath(source.path().c_str(), nullptr);
    state.source = real;
    ::free(real);
    state.root.fd.reset(::open(state.source.c_str(), O_PATH | O_CLOEXEC));
    struct stat attr {};
    ::fstat(state.root.fd.get(), &attr);
    state.source_dev = attr.st_dev;
    state.cache_blocksize = 4096;
  }
  ~PrefetchBlockTest() override {
    state.root.fd.reset();
    log_level = 2;
  }

  // The record that a lookup of `path` finds, or none when it has none.
  InodeRecord* record_of(const std::string& path) {
    struct stat attr {};
    if (::stat((source / path).c_str(), &attr) != 0) return nullptr;
    const auto found = state.inodes.find(attr.st_ino);
    return found == state.inodes.end() ? nullptr : &found->second;
  }

  void add_profile_path(readahead_state& readahead, const std::string& path) {
    readahead.files[hash_path(path)] = path;
  }

  TempDir source;
};

TEST_F(PrefetchBlockTest, OpensTheFileOnceAndKeepsItLookedUp) {
  {
    readahead_state readahead;
    add_profile_path(readahead, "a");
    add_profile_path(readahead, "dir/b");
    StreamCapture capture;
    log_level = 4;
    prefetch_block(&readahead, block_id_t("a", 1));
    prefetch_block(&readahead, block_id_t("a", 2));
    prefetch_block(&readahead, block_id_t("dir/b", 0));
    log_level = 2;

    EXPECT_EQ(readahead.handles.entries.size(), 2u);
    InodeRecord* a = record_of("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->nlookup, 1u);
    ASSERT_NE(record_of("dir/b"), nullptr);
    auto handle = readahead.handles.get(hash_path("a"));
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->inode, a);
    ASSERT_NE(get_open_file(handle->fi.get()), nullptr);
    EXPECT_TRUE(get_open_file(handle->fi.get())->fd);
    const std::string done =
        "DEBUG(2): prefetch_block: done with block " + std::to_string(block_id_t("a", 2).value);
    EXPECT_NE(capture.out().find(done), std::string::npos) << capture.out();
    // The second block of "a" came through the cached handle, without a lookup.
    const std::string err = capture.err();
    EXPECT_EQ(err.find("lookup(): name=a,"), err.rfind("lookup(): name=a,")) << err;
    EXPECT_EQ(err.find("WARNING"), std::string::npos) << err;
  }
  // The state's handles released their files and gave their lookups back.
  EXPECT_TRUE(state.inodes.empty());
}

TEST_F(PrefetchBlockTest, HashWithoutPathIsSkippedWithAWarning) {
  readahead_state readahead;
  StreamCapture capture;
  const block_id_t id("a", 0);
  prefetch_block(&readahead, id);
  EXPECT_EQ(capture.err(), "WARNING: readahead(" + std::to_string(id.value) + "): path hash " +
                               std::to_string(id.hash()) + " is not in the profile\n");
  EXPECT_TRUE(readahead.handles.entries.empty());
  EXPECT_TRUE(state.inodes.empty());
}

TEST_F(PrefetchBlockTest, VanishedFileIsSkippedWithAWarning) {
  readahead_state readahead;
  add_profile_path(readahead, "gone");
  StreamCapture capture;
  const block_id_t id("gone", 0);
  prefetch_block(&readahead, id);
  EXPECT_EQ(capture.err(), "WARNING: readahead(" + std::to_string(id.value) +
                               "): lookup(gone): No such file or directory\n");
  EXPECT_TRUE(readahead.handles.entries.empty());
}

TEST_F(PrefetchBlockTest, WhatIsNotARegularFileIsNeitherOpenedNorKept) {
  // A socket can be looked up but not opened.
  UniqueFd socket_fd(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socket_path = (source / "socket").string();
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  ASSERT_EQ(::bind(socket_fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  readahead_state readahead;
  add_profile_path(readahead, "socket");
  StreamCapture capture;
  const block_id_t id("socket", 0);
  prefetch_block(&readahead, id);
  prefetch_block(&readahead, id);
  const std::string warning =
      "WARNING: readahead(" + std::to_string(id.value) + "): socket is not a regular file\n";
  EXPECT_EQ(capture.err(), warning + warning);
  EXPECT_TRUE(readahead.handles.entries.empty());
  EXPECT_TRUE(state.inodes.empty());
}

TEST_F(PrefetchBlockTest, BlockPastTheLargestOffsetIsSkipped) {
  state.cache_blocksize = std::uint64_t{1} << 40;
  readahead_state readahead;
  add_profile_path(readahead, "a");
  StreamCapture capture;
  const block_id_t fits("a", 0x7fffff);
  const block_id_t too_far("a", 0x800000);
  prefetch_block(&readahead, too_far);
  EXPECT_EQ(capture.err(), "WARNING: readahead(" + std::to_string(too_far.value) +
                               "): block 8388608 lies beyond the largest file offset\n");
  EXPECT_TRUE(readahead.handles.entries.empty());
  prefetch_block(&readahead, fits);
  EXPECT_EQ(readahead.handles.entries.size(), 1u);
}

TEST_F(PrefetchBlockTest, SixtyFourthFileReleasesTheLeastRecentlyUsed) {
  readahead_state readahead;
  for (int i = 0; i < 64; ++i) {
    const std::string name = "f" + std::to_string(i);
    write_file(source / name, "x");
    add_profile_path(readahead, name);
  }
  for (int i = 0; i < 64; ++i)
    prefetch_block(&readahead, block_id_t("f" + std::to_string(i), 0));
  EXPECT_EQ(readahead.handles.entries.size(), 63u);
  EXPECT_EQ(state.inodes.size(), 63u);
  EXPECT_EQ(record_of("f0"), nullptr);
  EXPECT_NE(record_of("f1"), nullptr);
}

class FuseFileHandleTest : public PrefetchBlockTest {
 protected:
  fuse_file_handle open_handle(const std::string& path) {
    InodeRecord* inode = nullptr;
    mode_t type = 0;
    EXPECT_EQ(lookup_path(path, &inode, &type), 0);
    auto fi = std::make_unique<fuse_file_info>();
    EXPECT_EQ(quarnix::open(nullptr, get_fuse_ino(*inode), fi.get()), 0);
    return fuse_file_handle(inode, std::move(fi));
  }
};

TEST_F(FuseFileHandleTest, MovedFromHandleDoesNothing) {
  InodeRecord* inode;
  {
    fuse_file_handle moved_to = [&] {
      fuse_file_handle original = open_handle("dir/b");
      inode = original.inode;
      fuse_file_handle moved(std::move(original));
      EXPECT_FALSE(original.fi);
      EXPECT_EQ(moved.inode, inode);
      return moved;
    }();
    ASSERT_EQ(record_of("dir/b"), inode);
    EXPECT_EQ(inode->nlookup, 1u);
    EXPECT_NE(get_open_file(moved_to.fi.get()), nullptr);
  }
  EXPECT_EQ(record_of("dir/b"), nullptr);
}

TEST_F(FuseFileHandleTest, GivesBackOnlyItsOwnLookup) {
  InodeRecord* inode = nullptr;
  mode_t type = 0;
  ASSERT_EQ(lookup_path("a", &inode, &type), 0);
  EXPECT_TRUE(S_ISREG(type));
  { fuse_file_handle handle = open_handle("a"); }
  ASSERT_EQ(record_of("a"), inode);
  EXPECT_EQ(inode->nlookup, 1u);
  give_back_lookup(*inode);
  EXPECT_EQ(record_of("a"), nullptr);
}

TEST_F(FuseFileHandleTest, FailedReleaseStillGivesBackTheLookup) {
  StreamCapture capture;
  {
    fuse_file_handle handle = open_handle("a");
    // The source descriptor goes behind the handle's back, so release's close fails.
    OpenFile* file = get_open_file(handle.fi.get());
    ::close(file->fd.get());
  }
  EXPECT_EQ(capture.err(),
            "WARNING: release(): close() failed with: Bad file descriptor\n"
            "WARNING: ~fuse_file_handle: release() failed with: Bad file descriptor\n");
  EXPECT_EQ(record_of("a"), nullptr);
}

}  // namespace
}  // namespace quarnix::testing
