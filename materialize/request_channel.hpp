// The materialization channel: request records go to the peer on standard
// output, notification records come back on standard input.
#pragma once

#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "materialize/request_account.hpp"
#include "support/stop_event.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

constexpr int32_t block_needed_by_data = 0;         // a read or a write waits for the block
constexpr int32_t block_needed_by_size_change = 1;  // a setattr with a new size waits for it
inline bool known_request_type(int32_t type) {
  return type == block_needed_by_data || type == block_needed_by_size_change;
}

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

// One request as an operation queues it. The path it names is worked out by
// the writer: finding it may take a search of the whole source tree.
struct BlockRequest {
  int32_t type = 0;
  uint64_t dev = 0;
  uint64_t ino = 0;
  uint64_t block = 0;
  UniqueFd file;           // a copy of the inode's O_PATH descriptor
  std::string known_path;  // where the file was last seen
};

// What the writer asks of the daemon. All run on the writer thread, with no
// lock of the channel held.
struct RequestWriterHandlers {
  // Where the peer finds the file now, relative to the source root; nothing
  // when the file has no name left in the source tree.
  std::function<std::optional<std::string>(const BlockRequest&)> find_path;
  // The request could not go out, as the file has no name left.
  std::function<void(const BlockRequest&)> nameless;
  // Writing failed: the peer has gone, and the channel is closed.
  std::function<void()> peer_gone;
};

// Requests are queued by the operations that need blocks and written by one
// writer thread, so that a peer slow to read stalls only the operations that
// wait for its blocks, never one that holds a lock. The writer holds no lock of
// the daemon while it finds a path or writes.
class RequestChannel {
 public:
  explicit RequestChannel(int fd) : fd(fd) {}
  ~RequestChannel() { stop(); }
  RequestChannel(const RequestChannel&) = delete;
  RequestChannel& operator=(const RequestChannel&) = delete;

  // Starts the writer thread.
  void start(RequestWriterHandlers handlers);
  // Queues one request and counts it in the account: 0, or EIO once the
  // channel is closed.
  int send(BlockRequest request);
  // The peer is gone: nothing more is sent, every request fails and nothing
  // is owed.
  void close();
  // Closes the channel and ends the writer; a record the peer takes no more
  // of is given up.
  void stop();
  // What the peer is asked for and has not answered.
  RequestAccount& account() { return requests; }

 private:
  void write_queued();
  // False when the channel has closed since the request was taken.
  bool count_as_written(const BlockRequest& request);
  // abandoned: the channel closed before the record was whole.
  enum class Outcome { written, abandoned, stopped, failed };
  Outcome write_record(const BlockRequest& request, const std::vector<char>& record);
  ssize_t write_piece(const char* bytes, std::size_t size);

  const int fd;
  bool to_socket = false;  // set before the writer starts
  RequestWriterHandlers handlers;
  // Taken under any lock of the daemon; only the account's is taken under it.
  std::mutex mutex;
  std::condition_variable queued;
  std::deque<BlockRequest> queue;
  bool closed = false;
  bool stopping = false;
  RequestAccount requests;
  std::optional<StopEvent> stop_event;
  std::thread writer;
};

// For the materialization threads: SIGHUP, SIGINT and SIGTERM end the session
// through libfuse's handlers, which only notice them on libfuse's threads;
// SIGPIPE from a peer that has gone is an error of the write.
void hold_back_session_signals();

// The daemon's channel, on standard output.
RequestChannel& request_channel();

}  // namespace quarnix
