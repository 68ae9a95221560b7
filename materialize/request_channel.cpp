#include "materialize/request_channel.hpp"

#include <err.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "support/logging.hpp"

namespace quarnix {

namespace {

template <typename T>
void put(std::vector<char>& record, std::size_t offset, T value) {
  std::memcpy(record.data() + offset, &value, sizeof value);
}

template <typename T>
T get(const char* record, std::size_t offset) {
  T value;
  std::memcpy(&value, record + offset, sizeof value);
  return value;
}

}  // namespace

std::vector<char> encode_mat_request(int32_t type, uint64_t dev, uint64_t ino, uint64_t block,
                                     const std::string& path) {
  std::vector<char> record(40 + path.size(), '\0');
  put(record, 0, type);
  put(record, 8, dev);
  put(record, 16, ino);
  put(record, 24, block);
  put(record, 32, static_cast<uint64_t>(path.size()));
  path.copy(record.data() + 40, path.size());
  return record;
}

mat_notify decode_mat_notify(const char* record) {
  mat_notify notify;
  notify.type = get<int32_t>(record, 0);
  notify.ino = get<uint64_t>(record, 16);
  notify.block = get<uint64_t>(record, 24);
  return notify;
}

void RequestChannel::start(RequestWriterHandlers writer_handlers) {
  handlers = std::move(writer_handlers);
  stop_event.emplace();
  struct stat info {};
  to_socket = ::fstat(fd, &info) == 0 && S_ISSOCK(info.st_mode);
  writer = std::thread([this] { write_queued(); });
}

int RequestChannel::send(BlockRequest request) {
  std::lock_guard lock(mutex);
  if (closed) return EIO;
  requests.queued(request.ino, request.block);
  queue.push_back(std::move(request));
  queued.notify_one();
  return 0;
}

void RequestChannel::close() {
  std::lock_guard lock(mutex);
  closed = true;
  queue.clear();
  requests.clear();
}

void RequestChannel::stop() {
  {
    std::lock_guard lock(mutex);
    closed = true;
    stopping = true;
    queue.clear();
    requests.clear();
  }
  queued.notify_one();
  if (!writer.joinable()) return;
  stop_event->request();
  writer.join();
}

void RequestChannel::write_queued() {
  hold_back_session_signals();
  for (;;) {
    BlockRequest request;
    {
      std::unique_lock lock(mutex);
      queued.wait(lock, [this] { return stopping || !queue.empty(); });
      if (stopping) return;
      request = std::move(queue.front());
      queue.pop_front();
    }
    const std::optional<std::string> path = handlers.find_path(request);
    if (!path) {
      requests.dropped(request.ino, request.block);
      handlers.nameless(request);
      continue;
    }
    const std::vector<char> record =
        encode_mat_request(request.type, request.dev, request.ino, request.block, *path);
    debug_line(3, DebugStyle::plain, [&] {
      return "DEBUG: Sending materialization request for inode " + std::to_string(request.ino) +
             ", blockno " + std::to_string(request.block) + " (path " + *path + ", size " +
             std::to_string(record.size()) + ")";
    });
    const Outcome outcome = write_record(request, record);
    if (outcome == Outcome::stopped) return;
    if (outcome == Outcome::failed) {
      close();
      handlers.peer_gone();
    }
  }
}

bool RequestChannel::count_as_written(const BlockRequest& request) {
  // Under the mutex: once the channel is closed nothing may be owed again.
  std::lock_guard lock(mutex);
  if (closed) return false;
  requests.written(request.ino, request.block);
  return true;
}

RequestChannel::Outcome RequestChannel::write_record(const BlockRequest& request,
                                                     const std::vector<char>& record) {
  std::size_t written = 0;
  bool counted = false;
  while (written < record.size()) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, stop_event->poll_entry()};
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready > 0 && fds[1].revents != 0) return Outcome::stopped;
    const std::size_t piece = std::min<std::size_t>(record.size() - written, PIPE_BUF);
    // Counted as written just before the piece that completes the record:
    // no sooner, as a request still waiting for room in a full pipe can be
    // answered by no notification, and no later, as the answer may come
    // before the write returns.
    if (!counted && written + piece == record.size()) {
      if (!count_as_written(request)) return Outcome::abandoned;
      counted = true;
    }
    const ssize_t result = ready < 0 ? -1 : write_piece(record.data() + written, piece);
    // EAGAIN: a socket without room, or a pipe the peer made non-blocking
    // that is full again.
    if (result < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (result < 0) {
      warn("ERROR: request_block(): Writing to stdout failed");
      return Outcome::failed;
    }
    written += static_cast<std::size_t>(result);
  }
  return Outcome::written;
}

ssize_t RequestChannel::write_piece(const char* bytes, std::size_t size) {
  // A socket that poll finds writable may still have less room than the
  // piece: it is written without waiting, and the rest waits for the next poll.
  if (to_socket) return ::send(fd, bytes, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  // Once a pipe has a free buffer, which is what poll reports, a piece of at
  // most PIPE_BUF bytes goes in whole without blocking: a record that short is
  // never cut by a stop. (A terminal on standard output could still block.)
  return ::write(fd, bytes, size);
}

void hold_back_session_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signal_number : {SIGHUP, SIGINT, SIGTERM, SIGPIPE})
    sigaddset(&signals, signal_number);
  ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

RequestChannel& request_channel() {
  static RequestChannel channel(STDOUT_FILENO);
  return channel;
}

}  // namespace quarnix
