// Reading a small file that comes from outside: without blocking (a FIFO or a
// device in its place must not stop the program), without following a
// symbolic link, and with memory bounded by what the file may sensibly hold.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quarnix {

struct BoundedFileRead {
  enum class Outcome {
    read,         // `bytes` holds the file
    missing,      // the file does not exist or cannot be opened
    not_regular,  // a link, a FIFO, a device, a socket or a directory is there
    refused,      // the file cannot be used as it is; `reason` says why
  };
  Outcome outcome = Outcome::missing;
  std::string bytes;
  std::string reason;
  // The file's fstat, whenever a regular file was opened: its owner and mode
  // tell who may have written it.
  std::optional<struct stat> info;
};

// Reads `path` when it is a regular file of at most `max_size` bytes.
BoundedFileRead read_bounded_regular_file(const std::string& path, uint64_t max_size);

}  // namespace quarnix
