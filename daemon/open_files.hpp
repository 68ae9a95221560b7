// Every OpenFile and every directory stream handed to the kernel (or to the
// read-ahead thread) in a fuse_file_info: when the session ends before the
// kernel released them, the daemon frees the rest itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "daemon/directory_handle.hpp"
#include "daemon/open_file.hpp"

namespace quarnix {

template <typename Handle>
class HandedOut {
 public:
  // The handle value for fuse_file_info::fh; the object is kept until taken back.
  uint64_t hand_out(std::unique_ptr<Handle> handle) {
    Handle* const value = handle.get();
    std::lock_guard lock(mutex);
    handles.emplace(value, std::move(handle));
    return reinterpret_cast<uint64_t>(value);
  }

  // The object of a handle value from hand_out; null for any other value.
  std::unique_ptr<Handle> take_back(uint64_t fh) {
    std::lock_guard lock(mutex);
    const auto found = handles.find(reinterpret_cast<Handle*>(fh));
    if (found == handles.end()) return nullptr;
    std::unique_ptr<Handle> handle = std::move(found->second);
    handles.erase(found);
    return handle;
  }

  // Frees every object still handed out; for the end of the session, when no
  // operation runs any more.
  void free_all() {
    std::unordered_map<Handle*, std::unique_ptr<Handle>> remaining;
    {
      std::lock_guard lock(mutex);
      remaining.swap(handles);
    }
  }

 private:
  // Innermost: nothing is locked while it is held.
  std::mutex mutex;
  std::unordered_map<Handle*, std::unique_ptr<Handle>> handles;
};

HandedOut<OpenFile>& open_files();
HandedOut<DirectoryHandle>& open_directories();

}  // namespace quarnix
