// The read-ahead profile file: a header describing how the profile was made,
// the table from path hash to path, and the prediction tree, in one Boost
// binary archive.
#pragma once

#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "profile/block_node.hpp"
#include "support/errors.hpp"

namespace quarnix {

class BoundedBinaryArchive;

// The only format that the readers accept.
inline constexpr int profile_format = 3;

struct ProfileSettings {
  // Made from kernel read traces rather than from the daemon's own read logs.
  bool kernel = false;
  unsigned int block_size = 0;
  unsigned int trail_length = 0;
};

// Path hash to path relative to the tree root.
using ProfilePaths = std::unordered_map<unsigned int, std::string>;

// Writes the profile so that `path` holds either its earlier contents or the
// complete new profile. Throws RuntimeError("Unable to write readahead profile
// <path>", errno) when the file cannot be created, written or renamed.
void write_profile(const std::string& path, const ProfileSettings& settings,
                   const ProfilePaths& paths, const BlockNode& root);

// The profile file could not be opened; `error_number` is the errno of the open.
class ProfileOpenError : public RuntimeError {
 public:
  ProfileOpenError(const std::string& path, int error_number)
      : RuntimeError("Unable to read readahead profile " + path, error_number),
        error_number(error_number) {}
  int error_number;
};

// Reads a profile item by item, so that a reader can check the format and the
// settings before it loads the tree. A profile is outside input: every failure
// to open or read it throws RuntimeError("Unable to read readahead profile
// <path>: <reason>"), a ProfileOpenError when the file cannot be opened.
class ProfileReader {
 public:
  explicit ProfileReader(const std::string& path);
  ~ProfileReader();
  ProfileReader(const ProfileReader&) = delete;
  ProfileReader& operator=(const ProfileReader&) = delete;

  int read_format();
  ProfileSettings read_settings();
  // Leaves `paths` and `root` unchanged when the tree cannot be read.
  void read_tree(ProfilePaths& paths, BlockNode& root);

 private:
  enum class Item { format, settings, tree, done };

  void expect(Item item);
  [[noreturn]] void fail(const std::string& reason) const;

  std::string path;
  Item next_item = Item::format;
  std::ifstream stream;
  // Declared after the stream that it reads from, so that it goes first.
  std::unique_ptr<BoundedBinaryArchive> archive;
};

// The first path of the table, in ascending hash order, that could lead a
// reader outside the tree: empty, absolute, with a ".." component, or with a
// NUL byte (which would cut the path short where it is opened).
std::optional<std::string> find_unsafe_profile_path(const ProfilePaths& paths);

}  // namespace quarnix
