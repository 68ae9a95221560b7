#include "materialize/source_identity.hpp"

#include <fcntl.h>

#include <utility>

namespace quarnix {

namespace {

FileHandle handle_at(int directory_fd, const char* path, int flags) {
  alignas(file_handle) unsigned char storage[sizeof(file_handle) + MAX_HANDLE_SZ];
  auto* const header = reinterpret_cast<file_handle*>(storage);
  header->handle_bytes = MAX_HANDLE_SZ;
  int mount_id = 0;
  FileHandle handle;
  if (::name_to_handle_at(directory_fd, path, header, &mount_id, flags) != 0) return handle;
  handle.type = header->handle_type;
  handle.bytes.assign(header->f_handle, header->f_handle + header->handle_bytes);
  return handle;
}

}  // namespace

FileHandle FileHandle::of_descriptor(int fd) {
  return handle_at(fd, "", AT_EMPTY_PATH);
}

FileHandle FileHandle::at_path(const char* path) {
  return handle_at(AT_FDCWD, path, 0);
}

SourceIdentity SourceIdentity::of(const struct stat& attr, FileHandle handle) {
  SourceIdentity identity;
  identity.dev = attr.st_dev;
  identity.size = attr.st_size;
  identity.handle = std::move(handle);
  return identity;
}

bool SourceIdentity::matches(const struct stat& attr, const FileHandle& other) const {
  // A handle that one side could not get leaves the device and the size.
  const bool same_handle = handle.bytes.empty() || other.bytes.empty() || handle == other;
  return dev == attr.st_dev && size == attr.st_size && same_handle;
}

}  // namespace quarnix
