// The cache never serves another file's bytes: files replaced while the
// daemon was down, metadata that lies or is no plain file, a cache file
// changed behind the daemon, a daemon that dies, and two daemons on one cache
// file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/daemon_cache_fixtures.hpp"
#include "tests/fixtures/ext4_image.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

const std::string corrupted = "WARNING: Cache data is corrupted, re-initializing.\n";
// Tools that copy or extract files set this modification time.
constexpr timespec past{1000000000, 0};

void write_dated(const fs::path& path, const std::string& contents) {
  write_file(path, contents);
  const timespec times[2] = {past, past};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST(DaemonCacheSafety, FilesReplacedWhileDownAreNeverServedFromOldChunks) {
  CacheGround ground(64);
  const Ext4Image image(ground.root / "image", ground.source);
  ASSERT_EQ(image.error, "");
  constexpr std::size_t size = 5000;
  std::map<std::string, std::string> contents;  // path below the source -> bytes
  unsigned seed = 100;
  const auto put = [&](const std::string& name) {
    contents[name] = random_bytes(size, seed++);
    write_dated(ground.source / name, contents[name]);
  };
  fs::create_directories(ground.source / "tree");
  for (const std::string name : {"f1", "f2", "f3", "f4", "same1", "same2", "copied", "synced1",
                                 "synced2", "tree/x1", "tree/x2"})
    put(name);
  const auto read_everything = [&](QuarnixMount& mount) {
    for (const auto& [name, bytes] : contents)
      EXPECT_TRUE(read_range(mount.mountpoint() / name, 0, size) == bytes) << name << " read wrong";
  };
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    read_everything(mount);
    EXPECT_EQ(mount.unmount_and_wait(), 0);
  }

  std::set<uint64_t> first_inodes;  // every file's, as the first run cached them
  for (const auto& [name, bytes] : contents)
    first_inodes.insert(inode_of(ground.source / name));
  const auto took_a_cached_inode = [&](const std::string& name) {
    return first_inodes.count(inode_of(ground.source / name)) == 1;
  };

  // Deleted and created anew: the new files get the old inode numbers.
  std::set<uint64_t> old_inodes;
  for (const std::string name : {"f1", "f2", "f3", "f4"}) {
    old_inodes.insert(inode_of(ground.source / name));
    fs::remove(ground.source / name);
    contents.erase(name);
  }
  for (const std::string name : {"g1", "g2", "g3", "g4"}) {
    put(name);
    EXPECT_EQ(old_inodes.count(inode_of(ground.source / name)), 1u) << name << " got a new inode";
  }
  // cp -p: the same inode rewritten, its modification time set back.
  const uint64_t copied_inode = inode_of(ground.source / "copied");
  const fs::path staging = ground.work / "staging";
  fs::create_directories(staging / "tree");
  contents["copied"] = random_bytes(size, seed++);
  write_dated(staging / "copied", contents["copied"]);
  ASSERT_EQ(
      run_program({"cp", "-p", (staging / "copied").string(), (ground.source / "copied").string()})
          .status,
      0);
  EXPECT_EQ(inode_of(ground.source / "copied"), copied_inode);
  // rsync -t: a dated temporary renamed over each file; the second
  // temporary may take the inode the first rename freed.
  for (const std::string name : {"synced1", "synced2"}) {
    contents[name] = random_bytes(size, seed++);
    write_dated(ground.source / (name + ".tmp"), contents[name]);
    fs::rename(ground.source / (name + ".tmp"), ground.source / name);
  }
  EXPECT_TRUE(took_a_cached_inode("synced2")) << "synced2 got a new inode";
  // tar: the archive's members replace the files with their own dates.
  for (const std::string name : {"tree/x1", "tree/x2"}) {
    contents[name] = random_bytes(size, seed++);
    write_dated(staging / name, contents[name]);
  }
  const std::string archive = (ground.work / "tree.tar").string();
  ASSERT_EQ(run_program({"tar", "-cf", archive, "-C", staging.string(), "tree"}).status, 0);
  ASSERT_EQ(run_program({"tar", "-xf", archive, "-C", ground.source.string()}).status, 0);
  EXPECT_TRUE(took_a_cached_inode("tree/x1") || took_a_cached_inode("tree/x2"))
      << "tar gave both members new inodes";

  QuarnixMount mount(ground.source, ground.mountpoint, ground.options({"--log-all"}),
                     in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  read_everything(mount);
  // The unchanged files stayed warm, dated in the past as they are.
  const CacheStats stats = stats_now(mount);
  EXPECT_EQ(stats.hits, 2);
  EXPECT_EQ(stats.misses, static_cast<long>(contents.size()) - 2);
}

// The position of a chunk's record in the metadata file: its inode number and
// chunk number, then its slot offset and its size, each eight bytes.
std::size_t chunk_record(const std::string& meta, uint64_t ino, uint64_t chunkno) {
  std::string key(16, '\0');
  std::memcpy(key.data(), &ino, 8);
  std::memcpy(key.data() + 8, &chunkno, 8);
  return meta.find(key);
}

TEST(DaemonCacheSafety, MetadataThatLiesIsRefused) {
  const std::vector<
      std::pair<std::string, std::function<void(std::string&, std::size_t, std::size_t)>>>
      lies = {
          {"slots swapped",
           [](std::string& meta, std::size_t first, std::size_t second) {
             for (std::size_t byte = 16; byte < 24; ++byte)
               std::swap(meta[first + byte], meta[second + byte]);
           }},
          // A size of 131072 becomes 0: the chunk would read as the file's end.
          {"size bit flipped",
           [](std::string& meta, std::size_t first, std::size_t) { meta[first + 26] ^= 0x02; }},
      };
  for (const auto& [name, lie] : lies) {
    CacheGround ground(8);
    const std::string data = random_bytes(2 * chunk, 4);
    write_file(ground.source / "file", data);
    const std::string meta = ground.cachefile.string() + ".meta";
    {
      QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                         in_directory(ground.work));
      ASSERT_TRUE(mount.started()) << mount.process().err();
      EXPECT_TRUE(read_file(ground.mountpoint / "file") == data);
      EXPECT_EQ(mount.unmount_and_wait(), 0);
    }
    std::string contents = read_file(meta);
    const uint64_t ino = inode_of(ground.source / "file");
    const std::size_t first = chunk_record(contents, ino, 0);
    const std::size_t second = chunk_record(contents, ino, 1);
    ASSERT_NE(first, std::string::npos) << name;
    ASSERT_NE(second, std::string::npos) << name;
    lie(contents, first, second);
    write_file(meta, contents);

    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_TRUE(read_file(ground.mountpoint / "file") == data) << name << ": read wrong";
    EXPECT_NE(mount.process().err().find(corrupted), std::string::npos) << name << ":\n"
                                                                        << mount.process().err();
  }
}

// The metadata decides which bytes are served for which file: only a regular
// file of the daemon's own user that nobody else may write is trusted, and
// whatever stands in its place is judged at once, without waiting for a
// writer or reading more than a sound file can hold.
TEST(DaemonCacheSafety, MetadataThatIsNotTheDaemonsOwnIsNotTrusted) {
  CacheGround ground(8);
  const std::string data = random_bytes(2 * chunk, 9);
  write_file(ground.source / "file", data);
  const fs::path meta = ground.cachefile.string() + ".meta";
  const auto start = [&] {
    return std::make_unique<QuarnixMount>(ground.source, ground.mountpoint, ground.options(),
                                          in_directory(ground.work));
  };
  {
    auto mount = start();
    ASSERT_TRUE(mount->started()) << mount->process().err();
    EXPECT_TRUE(read_file(ground.mountpoint / "file") == data);
    EXPECT_EQ(mount->unmount_and_wait(), 0);
  }
  struct stat saved {};
  ASSERT_EQ(::stat(meta.c_str(), &saved), 0);
  EXPECT_EQ(saved.st_uid, ::geteuid());
  EXPECT_EQ(saved.st_mode & 07777, 0600u);
  // Sound bytes that a start without reads leaves valid: it writes nothing
  // into the cache file.
  const std::string sound = read_file(meta);
  const auto sound_file = [&](uid_t owner, mode_t mode) {
    return [&, owner, mode] {
      write_file(meta, sound);
      ASSERT_EQ(::chown(meta.c_str(), owner, owner), 0);
      ASSERT_EQ(::chmod(meta.c_str(), mode), 0);
    };
  };
  const std::string distrusted = "WARNING: Cache metadata " + meta.string() + " is not trusted: ";
  const std::string not_found = "INFO: No cache metadata found, re-initializing.\n";
  const std::vector<std::tuple<std::string, std::function<void()>, std::string>> impostors = {
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(meta.c_str(), 0600), 0); },
       distrusted + "not a regular file.\n" + not_found},
      {"symbolic link to /dev/zero", [&] { fs::create_symlink("/dev/zero", meta); },
       distrusted + "not a regular file.\n" + not_found},
      {"another user's file", sound_file(nobody, 0600),
       distrusted + "owned by uid 65534, not by " + std::to_string(::geteuid()) + ".\n" +
           not_found},
      {"file the group may write", sound_file(::geteuid(), 0620),
       distrusted + "writable by group or others (mode 0620).\n" + not_found},
      {"file others may write", sound_file(::geteuid(), 0602),
       distrusted + "writable by group or others (mode 0602).\n" + not_found},
      {"file with a second name",
       [&] {
         sound_file(::geteuid(), 0600)();
         fs::create_hard_link(meta, meta.string() + ".kept");
       },
       distrusted + "it has 2 names.\n" + not_found},
      {"sparse file of 3 GiB",
       [&] {
         write_file(meta, "");
         fs::resize_file(meta, uint64_t{3} << 30);
       },
       corrupted},
      {"the daemon's own", sound_file(::geteuid(), 0400), "INFO: Loaded 2 cache elements.\n"},
  };
  for (const auto& [name, make, message] : impostors) {
    fs::remove_all(meta);
    make();
    auto mount = start();
    ASSERT_TRUE(mount->started()) << name << ":\n" << mount->process().err();
    EXPECT_NE(mount->process().err().find(message), std::string::npos) << name << ":\n"
                                                                       << mount->process().err();
    EXPECT_EQ(occurrences(mount->process().err(), "INFO: Loaded"), name == "the daemon's own")
        << name;
    EXPECT_EQ(mount->unmount_and_wait(), 0) << name;
  }
}

// Bytes written into the cache file with its modification time set back
// still change its change time.
TEST(DaemonCacheSafety, CacheFileChangedBehindTheDaemonIsNotTrusted) {
  CacheGround ground(8);
  const std::string data = random_bytes(2 * chunk, 10);
  write_file(ground.source / "file", data);
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_TRUE(read_file(ground.mountpoint / "file") == data);
    EXPECT_EQ(mount.unmount_and_wait(), 0);
  }
  struct stat before {};
  ASSERT_EQ(::stat(ground.cachefile.c_str(), &before), 0);
  write_file(ground.cachefile, std::string(8 * chunk, 'G'));
  const timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, ground.cachefile.c_str(), times, 0), 0);

  QuarnixMount mount(ground.source, ground.mountpoint, ground.options(), in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_NE(
      mount.process().err().find("WARNING: Cache file was modified externally, re-initializing.\n"),
      std::string::npos)
      << mount.process().err();
  EXPECT_TRUE(read_file(ground.mountpoint / "file") == data);
}

TEST(DaemonCacheSafety, ARunningDaemonLeavesNoMetadataBehind) {
  CacheGround ground(2);
  const std::string first = random_bytes(2 * chunk, 5);
  const std::string second = random_bytes(2 * chunk, 6);
  write_file(ground.source / "first", first);
  write_file(ground.source / "second", second);
  const std::string meta = ground.cachefile.string() + ".meta";
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_TRUE(read_file(ground.mountpoint / "first") == first);
  }
  ASSERT_TRUE(fs::exists(meta));
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    EXPECT_NE(mount.process().err().find("INFO: Loaded 2 cache elements.\n"), std::string::npos)
        << mount.process().err();
    // Gone before any write: these reads reuse the slots it lists.
    EXPECT_FALSE(fs::exists(meta));
    EXPECT_TRUE(read_file(ground.mountpoint / "second") == second);
    mount.process().signal(SIGKILL);
    mount.process().wait();
  }
  QuarnixMount mount(ground.source, ground.mountpoint, ground.options(), in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_NE(mount.process().err().find("INFO: No cache metadata found, re-initializing.\n"),
            std::string::npos)
      << mount.process().err();
  EXPECT_TRUE(read_file(ground.mountpoint / "first") == first);
}

TEST(DaemonCacheSafety, OneCacheFileServesOneDaemon) {
  CacheGround ground(8);
  const std::string data = random_bytes(chunk, 7);
  write_file(ground.source / "file", data);
  const fs::path second_mountpoint = ground.root / "second";
  fs::create_directories(second_mountpoint);
  {
    QuarnixMount mount(ground.source, ground.mountpoint, ground.options(),
                       in_directory(ground.work));
    ASSERT_TRUE(mount.started()) << mount.process().err();
    std::vector<std::string> second{quarnix_binary()};
    for (const std::string& option : ground.options())
      second.push_back(option);
    second.push_back(ground.source.string());
    second.push_back(second_mountpoint.string());
    const ProgramResult refused =
        run_program(second, in_directory(ground.work), std::chrono::seconds(20));
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("is in use by another quarnix process"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(is_mounted(fs::canonical(second_mountpoint)));
    EXPECT_TRUE(read_file(ground.mountpoint / "file") == data);
    EXPECT_EQ(mount.unmount_and_wait(), 0);
  }
  // The lock ends with its daemon.
  QuarnixMount mount(ground.source, second_mountpoint, ground.options(), in_directory(ground.work));
  ASSERT_TRUE(mount.started()) << mount.process().err();
  EXPECT_TRUE(read_file(second_mountpoint / "file") == data);
}

}  // namespace
}  // namespace quarnix::testing
