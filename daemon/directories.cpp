#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>

#include "daemon/open_files.hpp"
#include "daemon/operations.hpp"
#include "daemon/proc_path.hpp"
#include "daemon/reply.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

namespace {

DirectoryHandle& get_dir_handle(const fuse_file_info* fi) {
  return *reinterpret_cast<DirectoryHandle*>(fi->fh);
}

bool is_dot_or_dotdot(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

const char* seek_word(bool seeked, uint32_t offset) {
  if (seeked) return "seek";
  return offset == 0 ? "start" : "continue";
}

// Repositions a stream for a read that does not continue where the last one
// ended. Every offset handed out for the directory, through any of its
// handles, is known; any other starts the listing again.
void seek_to(DirectoryHandle& handle, uint32_t& offset) {
  debug_line(4, DebugStyle::plain,
             [&] { return "DEBUG: readdir(): seeking to " + std::to_string(offset); });
  std::optional<int64_t> position;
  if (offset != 0) {
    position = handle.positions->find(offset);
    if (!position) {
      log_warning(boost::format("do_readdir(): encountered unknown offset %d") % offset);
      offset = 0;
    }
  }
  ::seekdir(handle.dir, position.value_or(0));
  handle.offset = offset;
  handle.listed_from_start = offset == 0 ? std::optional<std::size_t>(0) : std::nullopt;
}

// The reply one listing call builds in a buffer of the size the kernel asked for.
struct ListingReply {
  explicit ListingReply(size_t size)
      : buffer(new (std::nothrow) char[size]), size(size), remaining(size) {}

  char* free_space() const { return buffer.get() + (size - remaining); }
  size_t used() const { return size - remaining; }

  std::unique_ptr<char[]> buffer;
  const size_t size;
  size_t remaining;
  int count = 0;
};

// The next entry of the stream, or null at its end or when reading fails,
// with the error in `error`.
dirent* next_entry(DirectoryHandle& handle, int& error) {
  errno = 0;
  dirent* entry = ::readdir(handle.dir);
  if (entry == nullptr) {
    error = errno;
    if (error != 0)
      debug_line(4, DebugStyle::program_named,
                 [&] { return "DEBUG: readdir(): readdir failed with: " + errno_string(error); });
  }
  return entry;
}

// What a listing knows of an entry without looking it up.
struct stat listed_attributes(const dirent& entry) {
  struct stat attr {};
  attr.st_ino = entry.d_ino;
  attr.st_mode = static_cast<mode_t>(entry.d_type) << 12;
  return attr;
}

// Adds the entry at `offset` if it fits; the space it needs either way.
size_t add_entry(fuse_req_t req, const dirent& entry, uint32_t offset, ListingReply& reply) {
  const struct stat attr = listed_attributes(entry);
  return fuse_add_direntry(req, reply.free_space(), reply.remaining, entry.d_name, &attr, offset);
}

// Like add_entry, with the entry looked up: `entry_param` holds the lookup
// reference the kernel gets with it, node id 0 when there is none.
size_t add_entry_plus(fuse_req_t req, fuse_ino_t parent, const dirent& entry, uint32_t offset,
                      ListingReply& reply, fuse_entry_param& entry_param) {
  const int error = do_lookup(parent, entry.d_name, &entry_param);
  if (error != 0) {
    // The entry vanished since it was listed: list it without attributes
    // (node id 0), so that the names after it are neither lost nor repeated.
    report_if_out_of_descriptors(error);
    std::memset(&entry_param, 0, sizeof entry_param);
    entry_param.attr = listed_attributes(entry);
  }
  return fuse_add_direntry_plus(req, reply.free_space(), reply.remaining, entry.d_name,
                                &entry_param, offset);
}

// Counts the entry just added at `offset` into the reply.
void keep_entry(DirectoryHandle& handle, const dirent& entry, uint32_t offset, size_t need,
                ListingReply& reply) {
  reply.remaining -= need;
  ++reply.count;
  if (handle.listed_from_start) ++*handle.listed_from_start;
  debug_line(5, DebugStyle::plain, [&] {
    return std::string("DEBUG: readdir(): added to buffer: ") + entry.d_name + ", ino " +
           std::to_string(entry.d_ino) + ", offset " + std::to_string(offset);
  });
}

// Fills the reply from the stream, which stands after the entry handed out
// at `offset` (0: at the start), until the stream ends, fails or the reply is
// full; the error of a failed read, 0 otherwise.
int fill_reply(fuse_req_t req, fuse_ino_t ino, bool plus, DirectoryHandle& handle, uint32_t offset,
               ListingReply& reply) {
  uint32_t last_added = offset;
  long previous_position = ::telldir(handle.dir);
  for (;;) {
    int error = 0;
    const dirent* entry = next_entry(handle, error);
    if (entry == nullptr) {
      if (error == 0 && handle.listed_from_start) {
        handle.positions->listed_from_start(*handle.listed_from_start);
        handle.listed_from_start.reset();
      }
      return error;
    }
    if (is_dot_or_dotdot(entry->d_name)) {
      previous_position = entry->d_off;
      continue;
    }
    const uint32_t folded = handle.positions->hand_out(entry->d_off);
    handle.offset = folded;
    fuse_entry_param entry_param{};
    const size_t need = plus ? add_entry_plus(req, ino, *entry, folded, reply, entry_param)
                             : add_entry(req, *entry, folded, reply);
    if (need > reply.remaining) {
      debug_line(5, DebugStyle::plain, "DEBUG: readdir(): buffer full, returning data. ");
      if (plus && entry_param.ino != 0) do_forget(entry_param.ino, 1);
      // The entry that did not fit is read again by the next call.
      ::seekdir(handle.dir, previous_position);
      handle.offset = last_added;
      if (handle.listed_from_start) handle.positions->listed_from_start(*handle.listed_from_start);
      return 0;
    }
    keep_entry(handle, *entry, folded, need, reply);
    last_added = folded;
    previous_position = entry->d_off;
  }
}

// Replies the entries gathered; the error only when there are none.
void send_listing(fuse_req_t req, const DirectoryHandle& handle, const ListingReply& reply,
                  int error) {
  if (error != 0 && reply.used() == 0) {
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: readdir(): returning " + std::to_string(reply.count) + " entries, curr offset " +
           std::to_string(handle.offset);
  });
  reply_buf(req, reply.buffer.get(), reply.used());
}

void do_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi,
                bool plus) {
  DirectoryHandle& handle = get_dir_handle(fi);
  InodeRecord& inode = get_inode(ino);
  std::lock_guard handle_lock(handle.mutex);
  const uint32_t requested_offset = static_cast<uint32_t>(off);
  debug_line(4, DebugStyle::tagged, [&] {
    return boost::format("do_readdir(): started with offset %d") % requested_offset;
  });
  ListingReply reply(size);
  if (!reply.buffer) {
    reply_err(req, ENOMEM);
    return;
  }
  uint32_t offset = requested_offset;
  // A stream that handed out no entry is still at offset 0 when it has read
  // to its end: a rewind then reads it again, for names made since.
  const bool seeked = offset != handle.offset || (offset == 0 && !handle.listed_from_start);
  if (seeked) seek_to(handle, offset);
  const int error = fill_reply(req, ino, plus, handle, offset, reply);
  if (state.oplog.logs_all())
    state.oplog.write(plus ? "readdirplus" : "readdir", inode.log_id, reply.count,
                      seek_word(seeked, requested_offset));
  send_listing(req, handle, reply, error);
}

// The offsets of the directory, made with its first handle.
std::shared_ptr<DirectoryPositions> directory_positions(const InodeRecord& directory) {
  std::lock_guard lock(state.mutex);
  std::shared_ptr<DirectoryPositions>& positions = state.directory_positions[directory.ino];
  if (!positions) positions = std::make_shared<DirectoryPositions>();
  return positions;
}

}  // namespace

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("opendir", inode.log_id);
  std::unique_ptr<DirectoryHandle> handle(new (std::nothrow)
                                              DirectoryHandle(directory_positions(inode)));
  if (!handle) {
    reply_err(req, ENOMEM);
    return;
  }
  UniqueFd fd(::openat(inode.fd.get(), ".", O_RDONLY | O_CLOEXEC));
  // The directory stream owns the descriptor once it exists.
  if (fd) handle->dir = ::fdopendir(fd.get());
  if (handle->dir) fd.release();
  if (!handle->dir) {
    const int error = errno;
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  fi->fh = open_directories().hand_out(std::move(handle));
  if (!state.oplog.log_all) {
    fi->keep_cache = 1;
    fi->cache_readdir = 1;
  }
  reply_open(req, fi);
}

void readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  do_readdir(req, ino, size, off, fi, false);
}

void readdirplus(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi) {
  do_readdir(req, ino, size, off, fi, true);
}

void releasedir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  const std::unique_ptr<DirectoryHandle> handle = open_directories().take_back(fi->fh);
  if (!handle) throw RuntimeError("releasedir(): unknown handle " + std::to_string(fi->fh));
  fi->fh = 0;
  // A listing replies before it lets go of the handle, and the kernel may
  // release the directory as soon as that reply is out.
  { std::lock_guard wait(handle->mutex); }
  if (state.oplog.logs_all()) state.oplog.write("releasedir", get_inode(ino).log_id);
  reply_err(req, 0);
}

void fsyncdir(fuse_req_t req, fuse_ino_t ino, int datasync, fuse_file_info* fi) {
  if (state.oplog.logs_all()) state.oplog.write("fsyncdir", get_inode(ino).log_id, datasync);
  const int fd = ::dirfd(get_dir_handle(fi).dir);
  const int result = datasync ? ::fdatasync(fd) : ::fsync(fd);
  reply_err(req, result == -1 ? errno : 0);
}

}  // namespace quarnix
