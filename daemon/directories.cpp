#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <new>

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

// The kernel takes 32-bit directory offsets; stream positions are folded into them.
uint32_t folded_offset(int64_t position) {
  const uint32_t high = static_cast<uint32_t>(static_cast<uint64_t>(position) >> 32);
  const uint32_t folded = high ^ static_cast<uint32_t>(position & 0x7fffffff);
  return folded != 0 ? folded : high;
}

const char* seek_word(bool seeked, uint32_t offset) {
  if (seeked) return "seek";
  return offset == 0 ? "start" : "continue";
}

// The offset handed out for the entry whose stream position is `position`:
// its folded position, or, when another position of this listing already
// folded to that value, the next value still free, so that every offset
// handed out leads back to exactly one entry. 0 stands for the start.
uint32_t offset_for(const DirectoryHandle& handle, int64_t position) {
  uint32_t offset = folded_offset(position);
  for (;;) {
    const auto known = handle.positions.find(offset);
    if (offset != 0 && (known == handle.positions.end() || known->second == position))
      return offset;
    ++offset;
  }
}

// Repositions a stream for a read that does not continue where the last one
// ended. Every offset handed out on this handle is known; any other starts
// the listing again.
void seek_to(DirectoryHandle& handle, uint32_t& offset) {
  debug_line(4, DebugStyle::plain,
             [&] { return "DEBUG: readdir(): seeking to " + std::to_string(offset); });
  long position = 0;
  if (offset != 0) {
    const auto known = handle.positions.find(offset);
    if (known != handle.positions.end()) {
      position = known->second;
    } else {
      log_warning(boost::format("do_readdir(): encountered unknown offset %d") % offset);
      offset = 0;
    }
  }
  ::seekdir(handle.dir, position);
  handle.offset = offset;
}

void do_readdir(fuse_req_t req, fuse_ino_t ino, size_t size, off_t off, fuse_file_info* fi,
                bool plus) {
  DirectoryHandle& handle = get_dir_handle(fi);
  InodeRecord& inode = get_inode(ino);
  std::lock_guard handle_lock(handle.mutex);
  uint32_t offset = static_cast<uint32_t>(off);
  debug_line(4, DebugStyle::tagged,
             [&] { return boost::format("do_readdir(): started with offset %d") % offset; });

  std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
  if (!buffer) {
    reply_err(req, ENOMEM);
    return;
  }
  bool seeked = false;
  const uint32_t requested_offset = offset;
  if (offset != handle.offset) {
    seek_to(handle, offset);
    seeked = true;
  }

  size_t remaining = size;
  char* position = buffer.get();
  int count = 0;
  int error = 0;
  uint32_t last_added = offset;
  long previous_position = ::telldir(handle.dir);
  bool full = false;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(handle.dir);
    if (entry == nullptr) {
      error = errno;
      if (error != 0)
        debug_line(4, DebugStyle::program_named,
                   [&] { return "DEBUG: readdir(): readdir failed with: " + errno_string(error); });
      break;
    }
    if (is_dot_or_dotdot(entry->d_name)) {
      previous_position = entry->d_off;
      continue;
    }
    const uint32_t folded = offset_for(handle, entry->d_off);
    handle.offset = folded;
    size_t need;
    fuse_entry_param entry_param{};
    if (plus) {
      error = do_lookup(ino, entry->d_name, &entry_param);
      if (error != 0) {
        // The entry vanished since it was listed: list it without attributes
        // (node id 0), so that the names after it are neither lost nor repeated.
        report_if_out_of_descriptors(error);
        std::memset(&entry_param, 0, sizeof entry_param);
        entry_param.attr.st_ino = entry->d_ino;
        entry_param.attr.st_mode = static_cast<mode_t>(entry->d_type) << 12;
        error = 0;
      }
      need = fuse_add_direntry_plus(req, position, remaining, entry->d_name, &entry_param, folded);
    } else {
      struct stat attr {};
      attr.st_ino = entry->d_ino;
      attr.st_mode = static_cast<mode_t>(entry->d_type) << 12;
      need = fuse_add_direntry(req, position, remaining, entry->d_name, &attr, folded);
    }
    if (need > remaining) {
      debug_line(5, DebugStyle::plain, "DEBUG: readdir(): buffer full, returning data. ");
      if (plus && entry_param.ino != 0) do_forget(entry_param.ino, 1);
      full = true;
      break;
    }
    position += need;
    remaining -= need;
    ++count;
    handle.positions[folded] = entry->d_off;
    debug_line(5, DebugStyle::plain, [&] {
      return std::string("DEBUG: readdir(): added to buffer: ") + entry->d_name + ", ino " +
             std::to_string(entry->d_ino) + ", offset " + std::to_string(folded);
    });
    last_added = folded;
    previous_position = entry->d_off;
  }
  if (full) {
    // The entry that did not fit is read again by the next call.
    ::seekdir(handle.dir, previous_position);
    handle.offset = last_added;
  }
  if (remaining != size) error = 0;
  if (state.oplog.logs_all())
    state.oplog.write(plus ? "readdirplus" : "readdir", inode.log_id, count,
                      seek_word(seeked, requested_offset));
  if (error != 0) {
    report_if_out_of_descriptors(error);
    reply_err(req, error);
    return;
  }
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: readdir(): returning " + std::to_string(count) + " entries, curr offset " +
           std::to_string(handle.offset);
  });
  reply_buf(req, buffer.get(), size - remaining);
}

}  // namespace

void opendir(fuse_req_t req, fuse_ino_t ino, fuse_file_info* fi) {
  InodeRecord& inode = get_inode(ino);
  state.oplog.write_if_all("opendir", inode.log_id);
  std::unique_ptr<DirectoryHandle> handle(new (std::nothrow) DirectoryHandle);
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
