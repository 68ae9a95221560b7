// Every OpenFile handed to the kernel (or to the read-ahead thread) in a
// fuse_file_info: when the session ends before the kernel released them, the
// daemon frees the rest itself.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "daemon/open_file.hpp"

namespace quarnix {

class OpenFiles {
 public:
  // The handle value for fuse_file_info::fh; the file is kept until taken back.
  uint64_t hand_out(std::unique_ptr<OpenFile> file);
  // The file of a handle value from hand_out.
  std::unique_ptr<OpenFile> take_back(uint64_t fh);
  // Frees every file still handed out; for the end of the session, when no
  // operation runs any more.
  void free_all();

 private:
  // Innermost: nothing is locked while it is held.
  std::mutex mutex;
  std::unordered_map<OpenFile*, std::unique_ptr<OpenFile>> files;
};

OpenFiles& open_files();

}  // namespace quarnix
