// What tells the file a materialization record belongs to from a later one
// that took over its inode number once it was freed. The change time cannot:
// the peer's own writes move it, and so do a chmod, a rename, a link or an
// extended attribute set beside the mount.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <vector>

namespace quarnix {

// The filesystem's handle of a file (name_to_handle_at). On ext4 and tmpfs it
// holds the inode's generation, so a file that reuses an inode number has
// another handle. Empty where the filesystem gives none.
struct FileHandle {
  // Of an open descriptor (an O_PATH one will do).
  static FileHandle of_descriptor(int fd);
  // Of the file a path names, links not followed.
  static FileHandle at_path(const char* path);
  bool operator==(const FileHandle& other) const = default;

  int type = 0;
  std::vector<unsigned char> bytes;
};

// The device, the handle, and the size the daemon last saw: the peer never
// changes a placeholder's size, and a file written anew beside the mount
// mostly has another one, which is all that is left where there is no handle.
struct SourceIdentity {
  static SourceIdentity of(const struct stat& attr, FileHandle handle);
  bool matches(const struct stat& attr, const FileHandle& handle) const;

  uint64_t dev = 0;
  int64_t size = 0;
  FileHandle handle;
};

}  // namespace quarnix
