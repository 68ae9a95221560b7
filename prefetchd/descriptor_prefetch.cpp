#include "prefetchd/descriptor_prefetch.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "readahead/prefetch_loop.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/open_beneath.hpp"

namespace quarnix::prefetchd {

ReadaheadHooks readahead_hooks{prefetch_block, expire_fds};

namespace {

// The mounted tree, which no prefetch may leave.
struct PrefetchTree {
  std::string path;
  std::uint64_t device = 0;
};
PrefetchTree prefetch_tree;

// The mounted tree's root, opened for one lookup only: a descriptor held on it
// would keep the tree from being unmounted, and the unmount is what ends the
// trace. Once the tree is gone its mountpoint is an ordinary directory, which
// is refused (ENODEV).
UniqueFd open_tree_root() {
  UniqueFd root(::open(prefetch_tree.path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat status {};
  if (root && (fstat(root.get(), &status) != 0 || status.st_dev != prefetch_tree.device)) {
    root.reset();
    errno = ENODEV;
  }
  return root;
}

// A profile path opened beneath the mounted tree, with no symbolic link
// followed: the tree's content, not the profile, decides what a path is, and
// a link must not lead the daemon (run as root, maybe) out of the tree.
UniqueFd open_in_tree(const std::string& path) {
  if (!path.starts_with(prefetch_tree.path)) {
    errno = EXDEV;
    return UniqueFd();
  }
  const UniqueFd root = open_tree_root();
  if (!root) return UniqueFd();
  // Non-blocking, so that a FIFO that took the place of a profiled file
  // cannot hold the thread (and with it the daemon's end) in open.
  return open_beneath(root.get(), path.substr(prefetch_tree.path.size()),
                      O_RDONLY | O_CLOEXEC | O_NONBLOCK);
}

// The cached descriptor of the block's file, or a new one opened and cached;
// -1 (after a warning) when the file cannot be opened.
int find_or_open_fd(prefetch_state& readahead, block_id_t id) {
  if (auto cached = readahead.handles.get(id.hash())) {
    cached->last_used = std::chrono::steady_clock::now();
    return cached->fd.get();
  }
  const std::string* path = find_path_by_hash(readahead, id);
  if (!path) return -1;
  UniqueFd fd = open_in_tree(*path);
  if (!fd) {
    log_warning(boost::format("readahead(%d): open(%s): %s") % id % *path % errno_string(errno));
    return -1;
  }
  struct stat status {};
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    log_warning(boost::format("readahead(%d): %s is not a regular file") % id % *path);
    return -1;
  }
  if (fcntl(fd.get(), F_SETFL, O_RDONLY) != 0) {
    log_warning(boost::format("readahead(%d): fcntl(%s): %s") % id % *path % errno_string(errno));
    return -1;
  }
  const int opened = fd.get();
  readahead.handles.put(id.hash(), FdHandle(std::move(fd)));
  return opened;
}

}  // namespace

void set_prefetch_tree(const std::string& mountpoint, std::uint64_t device) {
  prefetch_tree = PrefetchTree{mountpoint, device};
}

void prefetch_block(prefetch_state* readahead, block_id_t id, char* buffer,
                    std::uint32_t block_size) {
  log_debug(2, boost::format("prefetch_block: processing %d") % id);
  const int fd = find_or_open_fd(*readahead, id);
  if (fd < 0) return;
  std::uint64_t offset = std::uint64_t{id.block()} * block_size;
  std::uint32_t remaining = block_size;
  char* position = buffer;
  while (remaining != 0) {
    const ssize_t count = ::pread(fd, position, remaining, static_cast<off_t>(offset));
    if (count < 0) {
      log_warning(boost::format("readahead(%d): read(): %s") % id % errno_string(errno));
      return;
    }
    if (count == 0) {
      log_debug(2, "prefetch_block: reached EOF");
      break;
    }
    remaining -= static_cast<std::uint32_t>(count);
    position += count;
    offset += static_cast<std::uint64_t>(count);
  }
  log_debug(2, boost::format("prefetch_block: done with block %d") % id);
}

void expire_fds(prefetch_state* readahead) {
  log_debug(1, "expire_fds: running...");
  const auto now = std::chrono::steady_clock::now();
  auto& handles = readahead->handles;
  std::uint64_t dropped = 0;
  for (auto entry = handles.entries.begin(); entry != handles.entries.end();) {
    const auto current = entry++;
    if (now - current->second.last_used <= descriptor_idle_time) continue;
    handles.erase(current->first);
    ++dropped;
  }
  log_debug(1, boost::format("expire_fds: dropped %d fds.") % dropped);
}

void readahead_loop(prefetch_state* readahead, std::uint32_t block_size, std::uint64_t max_blocks) {
  // One buffer for the thread's life; what is read into it is never used.
  std::vector<char> buffer(block_size);
  PrefetchLoopActions<FdHandle> actions;
  actions.prefetch = [&buffer, block_size](prefetch_state* target, block_id_t id) {
    readahead_hooks.prefetch_block(target, id, buffer.data(), block_size);
  };
  actions.idle_period = descriptor_idle_time;
  actions.idle = [](prefetch_state* target) { readahead_hooks.expire_fds(target); };
  run_prefetch_loop(readahead, max_blocks, actions);
}

}  // namespace quarnix::prefetchd
