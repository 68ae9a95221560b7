#include "profile/profile_file.hpp"

#include <errno.h>

#include <boost/archive/binary_oarchive.hpp>
#include <boost/serialization/string.hpp>
#include <boost/serialization/unordered_map.hpp>
#include <boost/serialization/utility.hpp>
#include <cstring>
#include <new>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "support/bounded_binary_archive.hpp"
#include "support/errors.hpp"
#include "support/replacement_file.hpp"

namespace quarnix {

namespace {

bool has_parent_component(std::string_view path) {
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    if (path.substr(0, slash) == "..") return true;
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return false;
}

// Boost takes the first bytes of a file as the length of the archive
// signature and allocates that much before it can tell a foreign file from an
// archive. Checking the length first keeps a foreign file from causing an
// absurd allocation. Returns false when the file is too short to tell.
bool has_foreign_signature_length(std::istream& stream) {
  std::size_t length = 0;
  const bool complete =
      static_cast<bool>(stream.read(reinterpret_cast<char*>(&length), sizeof length));
  stream.clear();
  return complete && length != std::strlen(boost::archive::BOOST_ARCHIVE_SIGNATURE());
}

// The archive refuses a size beyond the end of the file, and the containers
// refuse absurd ones; their own texts would tell a user nothing.
std::string failure_reason(const std::exception& error) {
  if (dynamic_cast<const ArchiveSizeError*>(&error) != nullptr ||
      dynamic_cast<const std::length_error*>(&error) != nullptr)
    return "a size stored in the file is too large";
  if (dynamic_cast<const std::bad_alloc*>(&error) != nullptr)
    return "not enough memory for the sizes stored in the file";
  return error.what();
}

bool is_unsafe_path(const std::string& path) {
  return path.empty() || path.front() == '/' || path.find('\0') != std::string::npos ||
         has_parent_component(path);
}

}  // namespace

void write_profile(const std::string& path, const ProfileSettings& settings,
                   const ProfilePaths& paths, const BlockNode& root) {
  // The archive is built in memory so that all file errors surface in one
  // place, with their errno.
  std::ostringstream bytes(std::ios::out | std::ios::binary);
  {
    boost::archive::binary_oarchive archive(bytes, 0);
    archive << profile_format << settings.kernel << settings.block_size << settings.trail_length
            << paths << root;
  }
  ReplacementFile file(path, "Unable to write readahead profile " + path);
  file.write(bytes.view());
  file.commit();
}

ProfileReader::ProfileReader(const std::string& path) : path(path) {
  errno = 0;
  stream.open(path, std::ios::in | std::ios::binary);
  if (!stream.is_open()) throw ProfileOpenError(path, errno != 0 ? errno : EIO);
  if (has_foreign_signature_length(stream)) fail("invalid signature");
  if (!stream.seekg(0)) fail("input stream error");
  try {
    archive = std::make_unique<BoundedBinaryArchive>(*stream.rdbuf());
  } catch (const std::exception& error) {
    fail(failure_reason(error));
  }
}

ProfileReader::~ProfileReader() = default;

int ProfileReader::read_format() {
  expect(Item::format);
  try {
    int format = 0;
    *archive >> format;
    next_item = Item::settings;
    return format;
  } catch (const std::exception& error) {
    fail(failure_reason(error));
  }
}

ProfileSettings ProfileReader::read_settings() {
  expect(Item::settings);
  // Read as a byte: the archive's own bool loading asserts on any other
  // value, and a corrupt file must not stop the process.
  unsigned char kernel = 0;
  ProfileSettings settings;
  try {
    *archive >> kernel >> settings.block_size >> settings.trail_length;
  } catch (const std::exception& error) {
    fail(failure_reason(error));
  }
  if (kernel > 1)
    fail((boost::format("kernel flag is %d, neither 0 nor 1") % static_cast<int>(kernel)).str());
  settings.kernel = kernel == 1;
  next_item = Item::tree;
  return settings;
}

void ProfileReader::read_tree(ProfilePaths& paths, BlockNode& root) {
  expect(Item::tree);
  try {
    ProfilePaths loaded_paths;
    BlockNode loaded_root;
    *archive >> loaded_paths >> loaded_root;
    paths = std::move(loaded_paths);
    root = std::move(loaded_root);
    next_item = Item::done;
  } catch (const std::exception& error) {
    fail(failure_reason(error));
  }
}

void ProfileReader::expect(Item item) {
  if (next_item != item) fail("items read out of order");
}

void ProfileReader::fail(const std::string& reason) const {
  throw RuntimeError("Unable to read readahead profile " + path + ": " + reason);
}

std::optional<std::string> find_unsafe_profile_path(const ProfilePaths& paths) {
  std::optional<std::pair<unsigned int, std::string>> first;
  for (const auto& [hash, path] : paths)
    if (is_unsafe_path(path) && (!first || hash < first->first)) first.emplace(hash, path);
  if (!first) return std::nullopt;
  return first->second;
}

}  // namespace quarnix
