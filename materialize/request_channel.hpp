// The materialization channel: request records go to the peer on standard
// output, notification records come back on standard input.
#pragma once

#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace quarnix {

constexpr int32_t block_needed_by_data = 0;         // a read or a write waits for the block
constexpr int32_t block_needed_by_size_change = 1;  // a setattr with a new size waits for it

// `mat_request`: 40 bytes of header in native byte order, then the path.
std::vector<char> encode_mat_request(int32_t type, uint64_t dev, uint64_t ino, uint64_t block,
                                     const std::string& path);

// `mat_notify`: 32 bytes in native byte order.
struct mat_notify {
  int32_t type = 0;
  uint64_t ino = 0;
  uint64_t block = 0;
};
constexpr std::size_t mat_notify_size = 32;
mat_notify decode_mat_notify(const char* record);

class RequestChannel {
 public:
  explicit RequestChannel(int fd) : fd(fd) {}

  // Writes one whole record: 0, or the errno of the failed write (EIO once
  // the peer has closed its side).
  int send(const std::vector<char>& record);

  // The peer is gone: from now on nothing is sent and every request fails.
  void close() { closed = true; }

 private:
  const int fd;
  // Records of several threads must not interleave on the pipe.
  std::mutex mutex;
  std::atomic<bool> closed{false};
};

// The daemon's channel, on standard output.
RequestChannel& request_channel();

}  // namespace quarnix
