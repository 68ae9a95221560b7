#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include <boost/archive/binary_oarchive.hpp>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "profile/profile_file.hpp"
#include "support/errors.hpp"
#include "tests/profile_fixtures.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

class ProfileFileTest : public ::testing::Test {
 protected:
  ProfileFileTest() {
    std::string pattern = (fs::temp_directory_path() / "profile_test.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    directory = pattern;
  }
  ~ProfileFileTest() override { fs::remove_all(directory); }

  std::string file(const std::string& name) const { return (directory / name).string(); }

  fs::path directory;
};

// The message of the RuntimeError that reading the whole profile throws.
std::string read_failure(const std::string& path) {
  try {
    read_profile(path);
  } catch (const RuntimeError& error) {
    return error.what();
  }
  return "(read without error)";
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::size_t boost_header_size() {
  std::ostringstream bytes;
  { boost::archive::binary_oarchive archive(bytes, 0); }
  return bytes.str().size();
}

BlockNode make_chain(unsigned int levels) {
  BlockNode root;
  root.name = "(root)";
  BlockNode* node = &root;
  for (unsigned int level = 0; level < levels; ++level) {
    node = &node->children[block_id_t(1, level)];
    node->name = "level " + std::to_string(level + 1);
  }
  node->predictions = {{block_id_t(1, levels), 1.0}};
  return root;
}

BlockNode make_wide_tree() {
  BlockNode root = make_chain(40);
  for (std::uint32_t i = 0; i < 2000; ++i) {
    BlockNode& child = root.children[block_id_t(2, i)];
    child.name = "wide " + std::to_string(i);
    child.predictions = {{block_id_t(3, i), 0.5}, {block_id_t(4, i), 1.0 / 3}, {block_id_t(), 0.1}};
  }
  return root;
}

ProfilePaths example_paths() {
  return {{hash_path("a/b/c.txt"), "a/b/c.txt"},
          {0, "testfile"},
          {hash_path("dir with space/\xc3\xa9t\xc3\xa9"), "dir with space/\xc3\xa9t\xc3\xa9"}};
}

TEST_F(ProfileFileTest, RoundTripKeepsEveryItem) {
  const std::string path = file("readahead_profile.ba");
  const ProfileSettings settings{true, 65536, 3};
  const BlockNode root = make_wide_tree();
  write_profile(path, settings, example_paths(), root);

  const Profile profile = read_profile(path);
  EXPECT_EQ(profile.format, 3);
  EXPECT_TRUE(profile.settings.kernel);
  EXPECT_EQ(profile.settings.block_size, 65536u);
  EXPECT_EQ(profile.settings.trail_length, 3u);
  EXPECT_EQ(profile.paths, example_paths());
  EXPECT_EQ(profile.root, root);
  EXPECT_EQ(profile.root.size(), 1u + 40u + 2000u);

  // An empty tree and table, and a rewrite over an existing profile.
  BlockNode lone_root;
  lone_root.name = "(root)";
  write_profile(path, ProfileSettings{false, 131072, 4}, {}, lone_root);
  const Profile rewritten = read_profile(path);
  EXPECT_FALSE(rewritten.settings.kernel);
  EXPECT_EQ(rewritten.settings.block_size, 131072u);
  EXPECT_EQ(rewritten.settings.trail_length, 4u);
  EXPECT_TRUE(rewritten.paths.empty());
  EXPECT_EQ(rewritten.root, lone_root);
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
}

TEST_F(ProfileFileTest, HeaderItemsFollowTheArchiveHeader) {
  const std::string path = file("profile.ba");
  write_profile(path, ProfileSettings{true, 0x01020304, 5}, {}, BlockNode());
  const std::string bytes = read_bytes(path);
  const std::size_t start = boost_header_size();
  ASSERT_GT(bytes.size(), start + 13);
  EXPECT_EQ(bytes.substr(start, 13), std::string("\x03\0\0\0\x01\x04\x03\x02\x01\x05\0\0\0", 13));
}

TEST_F(ProfileFileTest, HeaderValuesAreCheckedByTheirReaders) {
  const std::string path = file("profile.ba");
  write_profile(path, ProfileSettings{}, example_paths(), make_chain(3));
  std::string bytes = read_bytes(path);

  // Any format number goes to the caller, which decides.
  bytes[boost_header_size()] = 2;
  write_bytes(path, bytes);
  EXPECT_EQ(ProfileReader(path).read_format(), 2);

  bytes[boost_header_size() + 4] = 2;
  write_bytes(path, bytes);
  EXPECT_EQ(read_failure(path),
            "Unable to read readahead profile " + path + ": kernel flag is 2, neither 0 nor 1");
}

TEST_F(ProfileFileTest, EveryTruncationIsAReadError) {
  const std::string path = file("profile.ba");
  write_profile(path, ProfileSettings{false, 4096, 2}, example_paths(), make_chain(2));
  const std::string bytes = read_bytes(path);
  const std::string truncated = file("truncated.ba");
  const std::string prefix = "Unable to read readahead profile " + truncated + ": ";
  for (std::size_t length = 0; length < bytes.size(); ++length) {
    write_bytes(truncated, bytes.substr(0, length));
    const std::string message = read_failure(truncated);
    EXPECT_EQ(message.rfind(prefix, 0), 0u) << "length " << length << ": " << message;
  }
}

TEST_F(ProfileFileTest, ForeignFilesAreReadErrors) {
  const std::string path = file("foreign.ba");
  const std::string prefix = "Unable to read readahead profile " + path + ": ";

  // Taken as a signature length, the first eight bytes would be absurd.
  write_bytes(path, "not a readahead profile\n");
  EXPECT_EQ(read_failure(path), prefix + "invalid signature");

  const std::string signature_length("\x16\0\0\0\0\0\0\0", 8);
  write_bytes(path, signature_length + "not::a::profile:::::::" + "tail");
  EXPECT_EQ(read_failure(path), prefix + "invalid signature");

  write_bytes(path, signature_length + "serial");
  EXPECT_EQ(read_failure(path), prefix + "input stream error");
}

TEST_F(ProfileFileTest, AnAbsurdLengthIsAReadError) {
  const std::string path = file("profile.ba");
  BlockNode root;
  root.name = "ROOT-NAME-MARKER";
  write_profile(path, ProfileSettings{}, {}, root);
  std::string bytes = read_bytes(path);
  const std::size_t marker = bytes.find(root.name);
  ASSERT_NE(marker, std::string::npos);
  ASSERT_GE(marker, 8u);
  ASSERT_EQ(bytes.substr(marker - 8, 8), std::string("\x10\0\0\0\0\0\0\0", 8));
  // 2^30: a length that the memory could hold but the file does not.
  bytes.replace(marker - 8, 8, std::string("\0\0\0\x40\0\0\0\0", 8));
  write_bytes(path, bytes);
  EXPECT_EQ(read_failure(path), "Unable to read readahead profile " + path +
                                    ": a size stored in the file is too large");
}

TEST_F(ProfileFileTest, MissingFileGivesTheErrnoText) {
  const std::string path = file("missing.ba");
  EXPECT_EQ(read_failure(path),
            "Unable to read readahead profile " + path + ": " + strerror(ENOENT));
  EXPECT_EQ(read_failure(directory.string()).rfind("Unable to read readahead profile ", 0), 0u);
}

TEST_F(ProfileFileTest, NestingIsBoundedWhileLoading) {
  const std::string deepest = file("deepest.ba");
  const BlockNode accepted = make_chain(max_block_node_depth);
  write_profile(deepest, ProfileSettings{}, {}, accepted);
  EXPECT_EQ(read_profile(deepest).root.size(), max_block_node_depth + 1);

  const std::string hostile = file("hostile.ba");
  write_profile(hostile, ProfileSettings{}, {}, make_chain(max_block_node_depth + 1));
  ProfileReader reader(hostile);
  reader.read_format();
  reader.read_settings();
  ProfilePaths paths = example_paths();
  BlockNode root = make_chain(2);
  try {
    reader.read_tree(paths, root);
    FAIL() << "hostile tree loaded";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to read readahead profile " + hostile +
                                             ": prediction tree is nested deeper than 1024 levels");
  }
  // A failed load leaves the caller's table and tree as they were.
  EXPECT_EQ(paths, example_paths());
  EXPECT_EQ(root, make_chain(2));
  // The depth count recovers after the failure.
  EXPECT_EQ(read_profile(deepest).root, accepted);
}

TEST_F(ProfileFileTest, WritingIntoAMissingDirectoryFails) {
  const std::string path = file("missing/profile.ba");
  try {
    write_profile(path, ProfileSettings{}, {}, BlockNode());
    FAIL() << "written";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Unable to write readahead profile " + path + ": " + strerror(ENOENT));
  }
}

// Makes writes beyond `limit` bytes fail with EFBIG instead of a signal.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t limit) {
    previous_handler = ::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_limit);
    rlimit lowered = previous_limit;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_FSIZE, &lowered);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_limit);
    ::signal(SIGXFSZ, previous_handler);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit previous_limit{};
  sighandler_t previous_handler;
};

TEST_F(ProfileFileTest, AFailedWriteKeepsThePreviousProfile) {
  const std::string path = file("profile.ba");
  const BlockNode small = make_chain(3);
  write_profile(path, ProfileSettings{false, 4096, 3}, example_paths(), small);
  const std::string previous = read_bytes(path);
  ASSERT_LT(previous.size(), 4096u);

  try {
    const FileSizeLimit limit(4096);
    write_profile(path, ProfileSettings{false, 4096, 3}, example_paths(), make_wide_tree());
    FAIL() << "written beyond the file size limit";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()),
              "Unable to write readahead profile " + path + ": " + strerror(EFBIG));
  }
  EXPECT_EQ(read_bytes(path), previous);
  EXPECT_EQ(read_profile(path).root, small);
  EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 1);
}

TEST(UnsafeProfilePathTest, FindsPathsThatLeaveTheTree) {
  EXPECT_EQ(find_unsafe_profile_path({}), std::nullopt);
  EXPECT_EQ(find_unsafe_profile_path(example_paths()), std::nullopt);
  EXPECT_EQ(find_unsafe_profile_path(
                {{1, "..a/b"}, {2, "a../b"}, {3, "a/.../b"}, {4, "./a"}, {5, "a//b/"}, {6, ".a"}}),
            std::nullopt);

  for (const std::string& unsafe :
       std::vector<std::string>{"", "/etc/passwd", "..", "../x", "a/../../x", "a/..", "a/../b",
                                std::string("..\0/x", 5)}) {
    EXPECT_EQ(find_unsafe_profile_path({{1, "safe/path"}, {2, unsafe}}), unsafe)
        << "missed " << unsafe;
  }
  // Of several, the one with the lowest hash, whatever the table's order.
  EXPECT_EQ(find_unsafe_profile_path({{9, "../b"}, {7, "ok"}, {3, "/a"}, {5, "../c"}}), "/a");
}

}  // namespace
}  // namespace quarnix::testing
