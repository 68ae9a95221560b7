#include <err.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <optional>

#include "daemon/materialization_placeholders.hpp"
#include "daemon/operations.hpp"
#include "daemon/proc_path.hpp"
#include "daemon/reply.hpp"
#include "profile/block_id.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "support/open_beneath.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

void report_if_out_of_descriptors(int error) {
  if (error == ENFILE || error == EMFILE)
    write_line(std::cerr, "ERROR: Reached maximum number of file descriptors.");
}

namespace {

std::string mtime_text(const timespec& mtime) {
  return std::to_string(mtime.tv_sec) + "s + " + std::to_string(mtime.tv_nsec) + "ns.";
}

}  // namespace

namespace {

// The path of a source object relative to the source root; "/" for the root
// itself (no hash) and nothing when it cannot be found.
struct ResolvedPath {
  std::string text;
  bool hashed = false;
};

// The object open as `fd`, the source object `dev`:`ino` unless it is the root.
struct SourceObject {
  int fd;
  uint64_t dev;
  uint64_t ino;
  bool root;
};

// `quiet`: for callers that ask often about files whose name may be gone,
// which is no news to anyone.
std::optional<ResolvedPath> resolve_relative_path(const SourceObject& object, bool quiet) {
  const ProcPath link(object.fd);
  char target[4096];
  const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
  if (length < 0) {
    if (!quiet)
      log_warning(boost::format("get_path(): readlink(%s) failed with errno %d") % link.c_str() %
                  errno);
    return std::nullopt;
  }
  if (length == static_cast<ssize_t>(sizeof target - 1)) {
    if (!quiet)
      log_warning(boost::format("WARNING: readlink(%s): buffer too small") % link.c_str());
    return std::nullopt;
  }
  target[length] = '\0';
  const std::string& source = state.source;
  // A source of "/" has no separator of its own after it.
  const std::size_t prefix = source == "/" ? 0 : source.size();
  if (static_cast<std::size_t>(length) < source.size() ||
      std::memcmp(target, source.data(), source.size()) != 0 ||
      (static_cast<std::size_t>(length) > prefix && prefix > 0 && target[prefix] != '/')) {
    if (!quiet)
      debug_line(2, DebugStyle::tagged, [&] {
        return boost::format("get_path() fd %d resolved to path outside of source directory (%s)") %
               object.fd % target;
      });
    return std::nullopt;
  }
  if (static_cast<std::size_t>(length) == source.size()) return ResolvedPath{"/", false};

  std::string path(target + prefix + 1);
  struct stat current {};
  if (::fstatat(state.root.fd.get(), path.c_str(), &current, AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    if (!quiet)
      debug_line(2, DebugStyle::tagged, [&] {
        return boost::format("get_path(): fstatat(%s) failed with errno %d") % path % error;
      });
    return std::nullopt;
  }
  if (!object.root && (current.st_dev != object.dev || current.st_ino != object.ino)) {
    if (!quiet) log_warning(boost::format("get_path(): %s is outdated") % link.c_str());
    return std::nullopt;
  }
  return ResolvedPath{path, true};
}

std::optional<ResolvedPath> resolve_relative_path(const InodeRecord& record) {
  return resolve_relative_path({record.fd.get(), record.dev, record.ino, &record == &state.root},
                               false);
}

}  // namespace

std::optional<std::string> current_path(int fd, uint64_t dev, uint64_t ino) {
  std::optional<ResolvedPath> path = resolve_relative_path({fd, dev, ino, false}, true);
  if (!path) return std::nullopt;
  return std::move(path->text);
}

std::string get_path(InodeRecord& record) {
  // The hash is stored once, at the end: a read scored meanwhile sees the old one.
  const std::optional<ResolvedPath> path = resolve_relative_path(record);
  record.path_hash = path && path->hashed ? hash_path(path->text) : 0;
  return path ? path->text : "(unknown)";
}

namespace {

// An entry with nothing in it yet but the timeouts, which every entry has.
void clear_entry(fuse_entry_param* entry) {
  std::memset(entry, 0, sizeof *entry);
  entry->attr_timeout = state.timeout;
  entry->entry_timeout = state.timeout;
}

// Opens the name beneath its parent, without following it.
UniqueFd open_name(fuse_ino_t parent, const char* name, bool confined) {
  const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC;
  return confined ? open_beneath(get_fs_fd(parent), name, flags)
                  : UniqueFd(::openat(get_fs_fd(parent), name, flags));
}

// The attributes of the object open as `fd`; 0 or the errno of the failure.
int stat_opened(const UniqueFd& fd, struct stat& attr) {
  if (::fstatat(fd.get(), "", &attr, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) {
    const int error = errno;
    debug_line(4, DebugStyle::plain, "DEBUG: lookup(): fstatat failed");
    return error;
  }
  return 0;
}

// 0 when the object can have an inode of the mount; the error to return
// for it otherwise.
int check_source_object(const struct stat& attr) {
  if (attr.st_dev != state.source_dev) {
    write_line(std::cerr, "WARNING: Mountpoints in the source directory tree will be hidden.");
    return EOPNOTSUPP;
  }
  if (attr.st_ino == FUSE_ROOT_ID) {
    write_line(std::cerr, "ERROR: Source directory tree must not include inode 1");
    return EIO;
  }
  return 0;
}

// The table's record of the source inode, an empty one inserted when there is
// none, or null when there is no memory for it. The state mutex held.
InodeRecord* find_or_insert_record(uint64_t source_ino) {
  try {
    return &state.inodes[source_ino];
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// One more lookup of a record that exists; the record's mutex held.
void count_repeated_lookup(InodeRecord& record, const struct stat& attr) {
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: lookup(): inode " + std::to_string(attr.st_ino) + " (userspace) already known.";
  });
  ++record.nlookup;
  // Refreshes the hash of a file moved since its first lookup.
  if (state.uses_paths()) get_path(record);
}

// Makes the empty record found for the object open as `fd` its record, with
// the first lookup counted; the state and the record's mutex held.
void start_record(InodeRecord& record, UniqueFd fd, const struct stat& attr,
                  fuse_entry_param* entry) {
  record.ino = attr.st_ino;
  record.dev = attr.st_dev;
  record.is_symlink = S_ISLNK(attr.st_mode);
  record.nlookup = 1;
  record.fd = std::move(fd);
  record.log_id = state.next_log_id++;
  record.generation = state.next_generation++;
  entry->generation = record.generation;
  {
    std::lock_guard live_lock(state.live_inodes_mutex);
    state.live_inodes.insert(entry->ino);
  }
}

// Drops what the cache holds of an earlier version of the file; the record's
// mutex held.
void validate_cache(const InodeRecord& record, const struct stat& attr) {
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: Validating cache for inode " + std::to_string(record.ino) + " using mtime " +
           mtime_text(attr.st_mtim);
  });
  state.cache->validate(record.ino, attr);
}

int lookup_entry(fuse_ino_t parent, const char* name, fuse_entry_param* entry, bool confined,
                 bool created) {
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: lookup(): name=" + std::string(name) + ", parent=" + std::to_string(parent);
  });
  clear_entry(entry);
  UniqueFd fd = open_name(parent, name, confined);
  if (!fd) return errno;
  if (const int error = stat_opened(fd, entry->attr)) return error;
  const struct stat& attr = entry->attr;
  if (const int error = check_source_object(attr)) return error;

  std::unique_lock state_lock(state.mutex);
  InodeRecord* const found = find_or_insert_record(attr.st_ino);
  if (!found) return ENOMEM;
  InodeRecord& record = *found;
  std::unique_lock record_lock(record.mutex);
  entry->ino = get_fuse_ino(record);
  if (record.fd) {
    entry->generation = record.generation;
    state_lock.unlock();
    count_repeated_lookup(record, attr);
    return 0;
  }

  start_record(record, std::move(fd), attr, entry);
  std::optional<std::string> path = link_materialization_record(record, attr, created);
  state_lock.unlock();
  if (!path && state.uses_paths()) path = get_path(record);
  if (state.cache) validate_cache(record, attr);
  debug_line(4, DebugStyle::plain, [&] {
    return "DEBUG: lookup(): created userspace inode " + std::to_string(attr.st_ino);
  });
  if (state.oplog.enabled) {
    const uint64_t log_id = record.log_id;
    record_lock.unlock();
    state.oplog.write_file(log_id, *path);
  }
  return 0;
}

}  // namespace

int do_lookup(fuse_ino_t parent, const char* name, fuse_entry_param* entry, bool confined) {
  return lookup_entry(parent, name, entry, confined, false);
}

int do_lookup_created(fuse_ino_t parent, const char* name, fuse_entry_param* entry) {
  return lookup_entry(parent, name, entry, false, true);
}

void lookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
  if (state.oplog.logs_all()) state.oplog.write("lookup", get_inode(parent).log_id, name);
  fuse_entry_param entry{};
  const int result = do_lookup(parent, name, &entry);
  if (result == ENOENT) {
    fuse_entry_param negative{};
    negative.ino = 0;
    negative.attr.st_ino = 0;
    negative.attr_timeout = state.timeout;
    negative.entry_timeout = state.timeout;
    reply_entry(req, &negative);
  } else if (result != 0) {
    report_if_out_of_descriptors(result);
    reply_err(req, result);
  } else {
    reply_entry(req, &entry);
  }
}

void do_forget(fuse_ino_t ino, uint64_t count) {
  InodeRecord& record = get_inode(ino);
  std::lock_guard state_lock(state.mutex);
  std::unique_lock record_lock(record.mutex);
  if (count > record.nlookup)
    throw RuntimeError("INTERNAL ERROR: Negative lookup count for inode " +
                       std::to_string(record.ino));
  record.nlookup -= count;
  if (record.nlookup != 0) {
    debug_line(4, DebugStyle::plain, [&] {
      return "DEBUG: forget: inode " + std::to_string(record.ino) + " lookup count now " +
             std::to_string(record.nlookup);
    });
    return;
  }
  // The root is never counted down: the kernel's forgets cannot use up 9999.
  if (&record == &state.root) return;
  debug_line(4, DebugStyle::plain,
             [&] { return "DEBUG: forget: cleaning up inode " + std::to_string(record.ino); });
  if (state.cache) {
    struct stat info {};
    if (::fstat(record.fd.get(), &info) != 0) warn("ERROR: forget(): fstat failed");
    debug_line(4, DebugStyle::plain, [&] {
      return "DEBUG: Setting validation mtime for inode " + std::to_string(record.ino) + " to " +
             mtime_text(info.st_mtim);
    });
    state.cache->set_mtime(record.ino, info);
  }
  unlink_materialization_record(record);
  const uint64_t source_ino = record.ino;
  if (!state.directory_positions.empty()) state.directory_positions.erase(source_ino);
  {
    std::lock_guard live_lock(state.live_inodes_mutex);
    state.live_inodes.erase(ino);
  }
  record_lock.unlock();
  state.inodes.erase(source_ino);
}

namespace {

// Forgets are never answered, but libfuse frees their request only through
// fuse_reply_none; it must happen even when a forget fails.
struct ForgetDone {
  fuse_req_t req;
  ~ForgetDone() { reply_none(req); }
};

}  // namespace

void forget(fuse_req_t req, fuse_ino_t ino, uint64_t count) {
  const ForgetDone done{req};
  do_forget(ino, count);
}

void forget_multi(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
  const ForgetDone done{req};
  for (size_t i = 0; i < count; ++i)
    do_forget(forgets[i].ino, forgets[i].nlookup);
}

}  // namespace quarnix
