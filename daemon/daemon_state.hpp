// The one global state of the daemon, also handed to libfuse as user data.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <sys/types.h>

#include <boost/optional.hpp>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "cache/cache.hpp"
#include "daemon/directory_positions.hpp"
#include "daemon/inode_record.hpp"
#include "daemon/operations_log.hpp"
#include "daemon/readahead_file_handle.hpp"
#include "materialize/materialization_record.hpp"
#include "readahead/readahead_state.hpp"

namespace quarnix {

struct DaemonState {
  DaemonState();
  DaemonState(const DaemonState&) = delete;
  DaemonState& operator=(const DaemonState&) = delete;
  ~DaemonState();

  // The daemon's locks, outermost first. A thread takes them in this order
  // only, skipping any it does not need:
  //  1. a directory handle's mutex (a listing looks the names up);
  //  2. this mutex, which guards inodes, mat_records, directory_positions,
  //     next_log_id and next_generation;
  //  3. one inode's mutex (InodeRecord::mutex), never two at once;
  //  4. the cache's chunk locks and its mutex (their own rules are in
  //     cache/cache.hpp);
  //  5. the innermost ones, under which nothing is locked: live_inodes_mutex,
  //     an open file's mutex, the handle registries', a directory's
  //     positions' (DirectoryPositions), the request channel's,
  //     the crash report's, and the operations log's, which moreover is taken
  //     with neither 2 nor 3 held (AfterInodeLocks puts lines off until then).
  // A thread that holds this mutex may take an inode's mutex and then let
  // this one go (lookup, the input loop); nobody takes it while holding an
  // inode's mutex. The read-ahead state's mutex is taken with none of the
  // daemon's locks held.
  std::mutex mutex;
  std::unordered_map<uint64_t, InodeRecord> inodes;
  // On-demand materialization records by source inode number; under `mutex`.
  std::unordered_map<uint64_t, MaterializationRecord> mat_records;
  // The offsets handed out for each directory opened, shared by its handles,
  // by source inode number; under `mutex`. They go with the directory's
  // record, when the kernel forgets the directory and its cache of it.
  std::unordered_map<uint64_t, std::shared_ptr<DirectoryPositions>> directory_positions;
  InodeRecord root;
  double timeout = 0;
  std::string source;
  std::string mountpoint;
  int64_t download_blocksize = 10485760;
  uint64_t cache_blocksize = 131072;
  dev_t source_dev = 0;
  bool nosplice = false;
  boost::optional<Cache> cache;
  boost::optional<std::string> crashdir;
  OperationsLog oplog;
  bool forgetmat = false;
  bool ondemand = false;
  bool vfs_cache = true;
  uint64_t next_log_id = 0;
  uint64_t next_generation = 1;  // under `mutex`, like next_log_id
  bool swallow_odirect = false;
  // FUSE inode numbers of the records in `inodes`, so that a number the
  // kernel still holds after its record went (an old export handle) is
  // refused instead of dereferenced. Guarded by its own innermost mutex, which
  // a forget holds while it takes a record out.
  std::mutex live_inodes_mutex;
  std::unordered_set<fuse_ino_t> live_inodes;
  // Declared last: destroyed first, while the inodes its open handles hold still exist.
  boost::optional<abstract_readahead_state_t<fuse_file_handle>> readahead;

  // Whether anything reads the inodes' paths: the file map of the operations
  // log, the block ids of read-ahead, materialization. Nothing else does, so
  // without them a lookup leaves the path alone.
  bool uses_paths() const { return oplog.enabled || readahead.is_initialized() || ondemand; }
};

extern DaemonState state;
extern double delay_reads;

// An inode number that names no live record.
class UnknownInode : public std::exception {
 public:
  explicit UnknownInode(fuse_ino_t ino);
  const char* what() const noexcept override { return message.c_str(); }

 private:
  std::string message;
};

// The record of a FUSE inode number; throws UnknownInode for a number that
// names no live record. The reference stays valid after the lock that found
// it is let go, because a record is erased only when its lookup count falls
// to 0: the kernel holds a lookup of every node in a request until it has
// been answered (a parked operation's too), and the daemon's own callers
// hold one while they use the record (the lookup a parked create will hand
// out, the read-ahead thread's open handles, the lookups that readdirplus and
// rename give back when they are done).
InodeRecord& get_inode(fuse_ino_t ino);
fuse_ino_t get_fuse_ino(const InodeRecord& record);
int get_fs_fd(fuse_ino_t ino);

// Called once after the session loop has ended.
void destroy();

}  // namespace quarnix
