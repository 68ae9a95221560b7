// Which file a materialization record and a request belong to, through the
// real daemon and the tests' peer: renames, removed links and inode numbers
// taken over by other files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>

#include "support/unique_fd.hpp"
#include "tests/fixtures/ext4_image.hpp"
#include "tests/fixtures/materialization_peer.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t block_size = 131072;

std::pair<time_t, long> change_time_of(const fs::path& path) {
  struct stat info {};
  EXPECT_EQ(::stat(path.c_str(), &info), 0) << path;
  return {info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
}

// A rename through the mount, which the peer's store follows.
void rename_through(MaterializationPeer& peer, const fs::path& mount, const std::string& from,
                    const std::string& to) {
  fs::rename(mount / from, mount / to);
  peer.renamed(from, to);
}

// Requests name the file where the peer finds it now: after a rename of the
// file or of its directory, after two names were swapped, and after the name
// the file was found by went while another link of it remains.
TEST(MaterializationPaths, RequestsNameWhereTheFileIsNow) {
  using Change = std::function<void(MaterializationPeer&, const fs::path&)>;
  struct Case {
    const char* name;
    Change change;                                           // through the mount
    std::vector<std::pair<std::string, std::string>> reads;  // name now, placeholder it was
  };
  const std::vector<Case> cases = {
      {"file renamed",
       [](MaterializationPeer& peer, const fs::path& mount) {
         rename_through(peer, mount, "a", "b");
       },
       {{"b", "a"}}},
      {"names swapped",
       [](MaterializationPeer& peer, const fs::path& mount) {
         rename_through(peer, mount, "a", "b");
         rename_through(peer, mount, "c", "a");
       },
       {{"b", "a"}, {"a", "c"}}},
      {"directory renamed",
       [](MaterializationPeer& peer, const fs::path& mount) {
         fs::rename(mount / "d", mount / "e");
         peer.renamed("d/f", "e/f");
       },
       {{"e/f", "d/f"}}},
      {"link left",
       [](MaterializationPeer&, const fs::path& mount) { fs::remove(mount / "a"); },
       {{"l", "a"}}},
      // Neither the name the inode was found by nor one the start knew is left.
      {"link moved",
       [](MaterializationPeer& peer, const fs::path& mount) {
         EXPECT_TRUE(fs::exists(mount / "a"));
         rename_through(peer, mount, "l", "m");
         fs::remove(mount / "a");
       },
       {{"m", "a"}}},
  };
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.name);
    MountGround ground;
    MaterializationPeer peer(ground, block_size);
    std::map<std::string, std::string> truth;
    unsigned seed = 10;
    for (const std::string name : {"a", "c", "d/f"}) {
      peer.add_placeholder(name, random_bytes(2 * block_size + 7, seed++));
      truth[name] = peer.contents(name);
    }
    peer.add_link("a", "l");
    ASSERT_TRUE(peer.start({"--log-all"}));
    test_case.change(peer, ground.mountpoint);
    peer.serve_automatically();
    for (const auto& [name, placeholder] : test_case.reads)
      EXPECT_TRUE(read_whole(peer, ground.mountpoint / name) == truth[placeholder]) << name;
    EXPECT_EQ(peer.unmount_and_wait(), 0);
    // Looking for the file's name is no news at the default log level.
    const std::string err = peer.mount().process().err();
    EXPECT_EQ(err.find("get_path()"), std::string::npos) << err;
  }
}

// A file with no name left in the source tree cannot be asked for: the
// operations that need its missing blocks fail, with one warning for the file.
TEST(MaterializationPaths, AFileWithNoNameLeftCannotBeAskedFor) {
  MountGround ground;
  MaterializationPeer peer(ground, block_size);
  peer.add_placeholder("a", random_bytes(2 * block_size, 12));
  ASSERT_TRUE(peer.start({"--log-all"}));
  auto fd = std::make_shared<UniqueFd>(::open((ground.mountpoint / "a").c_str(), O_RDONLY));
  ASSERT_TRUE(*fd);
  fs::remove(ground.source / "a");
  for (const uint64_t block : {0, 1}) {
    BackgroundCall& read = peer.in_background([fd, block] {
      char byte;
      return ::pread(fd->get(), &byte, 1, static_cast<off_t>(block * block_size));
    });
    EXPECT_EQ(read.result(), -1) << block;
    EXPECT_EQ(read.error(), EIO) << block;
  }
  fd->close();
  EXPECT_EQ(peer.requests_seen(), 0u);
  EXPECT_EQ(peer.unmount_and_wait(), 0);
  const std::string err = peer.mount().process().err();
  EXPECT_EQ(occurrences(err, "no name left"), 1u) << err;
  EXPECT_EQ(err.find("get_path()"), std::string::npos) << err;
}

// A record belongs to one file: a file that takes over a freed inode number,
// made through the mount or beside it, is never taken for the placeholder
// that had the number, even at the same size; a placeholder stays one when it
// was forgotten while incomplete, and when only its change time moved before
// its first lookup (a chmod beside the mount, the peer's write of a block
// whose notification is still on its way).
TEST(MaterializationRecords, BelongToOneFile) {
  enum class Change {
    removed_beside,
    removed_through_mount,
    replaced_beside,
    forgotten,
    chmod_beside,
    written_before_notified
  };
  for (const Change change :
       {Change::removed_beside, Change::removed_through_mount, Change::replaced_beside,
        Change::forgotten, Change::chmod_beside, Change::written_before_notified}) {
    SCOPED_TRACE(static_cast<int>(change));
    MountGround ground;
    const Ext4Image image(ground.root / "image", ground.source);
    ASSERT_EQ(image.error, "");
    MaterializationPeer peer(ground, block_size);
    peer.add_placeholder("a", random_bytes(3 * block_size, 20));
    const uint64_t old_inode = inode_of(ground.source / "a");
    const std::pair<time_t, long> marked_change = change_time_of(ground.source / "a");
    ASSERT_TRUE(peer.start({"--log-all", "--v", "4"}));
    const fs::path mountpoint = ground.mountpoint;
    if (change == Change::chmod_beside || change == Change::written_before_notified) {
      if (change == Change::chmod_beside)
        fs::permissions(ground.source / "a", fs::perms::owner_read | fs::perms::owner_write);
      else
        peer.store_block("a", 0);
      ASSERT_NE(change_time_of(ground.source / "a"), marked_change);
      peer.serve_automatically();
      EXPECT_TRUE(read_whole(peer, mountpoint / "a") == peer.contents("a"));
      EXPECT_EQ(peer.requests_seen(), 3u) << "the placeholder lost its missing blocks";
      continue;
    }
    const auto make_through_mount = [&] {
      return peer
          .in_background([mountpoint] {
            const int fd = ::open((mountpoint / "new").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            const bool done = fd >= 0 && ::write(fd, "x", 1) == 1 && ::fsync(fd) == 0;
            ::close(fd);
            return done ? 0 : -1;
          })
          .result();
    };
    if (change == Change::forgotten) {
      FileCall read0 = pread_in_background(peer, mountpoint / "a", 0, 10);
      const std::optional<MatRequest> request = peer.next_request();
      ASSERT_TRUE(request);
      peer.serve(*request);
      EXPECT_EQ(read0.call.result(), 10);
      ASSERT_TRUE(peer.mount().wait_for_forget(old_inode));
      peer.serve_automatically();
      EXPECT_TRUE(read_whole(peer, mountpoint / "a") == peer.contents("a"));
      EXPECT_EQ(peer.requests_seen(), 3u) << "the forgotten file lost its missing blocks";
      continue;
    }
    if (change == Change::removed_through_mount) {
      // A read that waits for a block of the file fails: the peer can no
      // longer find the file.
      FileCall waiting = pread_in_background(peer, mountpoint / "a", block_size, 10);
      ASSERT_EQ(take_requests(peer, "a", 0, 1).size(), 1u);
      fs::remove(mountpoint / "a");
      EXPECT_EQ(waiting.call.result(), -1);
      EXPECT_EQ(waiting.call.error(), EIO);
      ASSERT_TRUE(peer.mount().wait_for_forget(old_inode));
    } else {
      fs::remove(ground.source / "a");
    }
    const std::size_t requests_before = peer.requests_seen();
    // Beside the mount, a file of the placeholder's size.
    const std::string made =
        change == Change::replaced_beside ? random_bytes(3 * block_size, 21) : std::string("x");
    if (change == Change::replaced_beside)
      write_file(ground.source / "new", made);
    else
      EXPECT_EQ(make_through_mount(), 0);
    ASSERT_EQ(inode_of(ground.source / "new"), old_inode) << "the inode number was not taken again";
    EXPECT_TRUE(read_whole(peer, mountpoint / "new") == made);
    EXPECT_TRUE(read_file(ground.source / "new") == made);
    EXPECT_EQ(peer.requests_seen(), requests_before);
  }
}

}  // namespace
}  // namespace quarnix::testing
