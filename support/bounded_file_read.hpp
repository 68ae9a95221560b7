// Reading a small file that comes from outside: without blocking (a FIFO or a
// device in its place must not stop the program), without following a
// symbolic link, and with memory bounded by what the file may sensibly hold.
#pragma once

#include <cstdint>
#include <string>

namespace quarnix {

struct BoundedFileRead {
  enum class Outcome {
    read,     // `bytes` holds the file
    missing,  // the file does not exist or cannot be opened
    refused,  // something else is there; `reason` says what
  };
  Outcome outcome = Outcome::missing;
  std::string bytes;
  std::string reason;
};

// Reads `path` when it is a regular file of at most `max_size` bytes.
BoundedFileRead read_bounded_regular_file(const std::string& path, uint64_t max_size);

}  // namespace quarnix
