#include "prefetchd/prefetch_profile.hpp"

#include <string.h>

#include <cstdlib>
#include <optional>

#include "profile/profile_file.hpp"
#include "support/logging.hpp"
#include "tracesession/exit_status.hpp"

namespace quarnix::prefetchd {

namespace {

constexpr int exit_unusable_profile = 4;
// Every prefetch reads one block into one buffer of this size at most.
constexpr std::uint32_t largest_block_size = 64 << 20;

template <typename Message>
[[noreturn]] void refuse(Message message, int status) {
  log_error(message);
  std::exit(status);
}

ProfileReader open_profile(const std::string& path) {
  try {
    return ProfileReader(path);
  } catch (const ProfileOpenError& error) {
    refuse(boost::format("Unable to open %s: %s") % path % strerror(error.error_number),
           exit_file_unavailable);
  }
}

}  // namespace

std::uint32_t load_prefetch_profile(const std::string& path, const std::string& mountpoint,
                                    prefetch_state& readahead) {
  ProfileReader reader = open_profile(path);
  if (reader.read_format() != profile_format)
    refuse("Readahead profile has unsupported format.", exit_unusable_profile);
  const ProfileSettings settings = reader.read_settings();
  if (!settings.kernel)
    refuse("Readahead profile not created from kernel trace data.", exit_unusable_profile);
  // The block size divides every traced offset and sizes every prefetch.
  if (settings.block_size == 0)
    refuse("Readahead profile has block size 0.", exit_unusable_profile);
  if (settings.block_size > largest_block_size)
    refuse(boost::format("Readahead profile has block size %d, more than the largest of %d.") %
               settings.block_size % largest_block_size,
           exit_unusable_profile);
  reader.read_tree(readahead.files, readahead.root);
  // Prefetches read these paths under the mountpoint; none may lead out of it.
  if (const auto unsafe = find_unsafe_profile_path(readahead.files))
    refuse(boost::format("Readahead profile names a path outside the tree: \"%s\"") % *unsafe,
           exit_unusable_profile);
  for (auto& [hash, file] : readahead.files)
    file = mountpoint + file;
  return settings.block_size;
}

}  // namespace quarnix::prefetchd
