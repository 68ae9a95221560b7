// Per-file state of on-demand materialization: which download blocks of a
// placeholder are present, and the operations parked until missing ones arrive.
#pragma once

#define FUSE_USE_VERSION 35
#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "materialize/source_identity.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

// Parked operations keep the FUSE inode number and the open file's handle
// value (0 without a file): the kernel keeps both alive while the request is
// outstanding.
struct pending_read {
  pending_read(fuse_req_t req, fuse_ino_t ino, uint64_t size, uint64_t off, uint64_t fh)
      : req(req), ino(ino), size(size), off(off), fh(fh) {}
  fuse_req_t req;
  fuse_ino_t ino;
  uint64_t size;
  uint64_t off;
  uint64_t fh;
};

// A copy of the data of a parked write, in one memory buffer.
class ParkedData {
 public:
  explicit ParkedData(std::vector<char> bytes) : bytes(std::move(bytes)) {}
  // A vector over the copy; valid while the copy lives.
  fuse_bufvec* vector();

 private:
  std::vector<char> bytes;
  fuse_bufvec buffers = FUSE_BUFVEC_INIT(0);
};

struct pending_write_buf {
  pending_write_buf(fuse_req_t req, fuse_ino_t ino, uint64_t size, uint64_t off, ParkedData buf,
                    uint64_t fh)
      : req(req), ino(ino), size(size), off(off), buf(std::move(buf)), fh(fh) {}
  fuse_req_t req;
  fuse_ino_t ino;
  uint64_t size;
  uint64_t off;
  ParkedData buf;
  uint64_t fh;
};

struct pending_setattr {
  pending_setattr(fuse_req_t req, fuse_ino_t ino, const struct stat& attr, int to_set, uint64_t fh,
                  uint64_t block)
      : req(req), ino(ino), attr(attr), to_set(to_set), fh(fh), block(block) {}
  fuse_req_t req;
  fuse_ino_t ino;
  struct stat attr;
  int to_set;
  uint64_t fh;
  uint64_t block;  // the download block whose type-1 notification it waits for
  bool block_arrived = false;
};

// An open that truncates the file (O_TRUNC, or a create that found the file
// there): a size change to 0, parked like one. `fd` is the source file opened
// without O_TRUNC, `buffered` its companion without O_DIRECT if it has one;
// `entry` is set for a create, whose reply carries it.
struct pending_open {
  fuse_req_t req;
  fuse_ino_t ino;
  fuse_file_info fi;
  UniqueFd fd;
  UniqueFd buffered;
  std::optional<fuse_entry_param> entry;
  mode_t mode;         // of a create, for its operations-log line
  uint64_t block = 0;  // the download block whose type-1 notification it waits for
  bool block_arrived = false;
};

// The download blocks a byte range touches, as [first, last]; none for an
// empty range.
struct BlockRange {
  uint64_t first = 1;
  uint64_t last = 0;
};

// Guarded by the linked inode's mutex, with which its parked operations are
// completed and failed; the map that holds it, and a record no inode links,
// by the state mutex.
struct MaterializationRecord {
  BlockRange blocks_of(uint64_t off, uint64_t size) const;
  // False when a download block of [off, off + size) is missing; blocks past
  // the end of the bits (past the end of the file) count as present.
  bool range_materialized(uint64_t off, uint64_t size) const;
  // After the file's size changed to `size`: blocks wholly at or past it are
  // no longer missing (they are holes or gone), a block it cuts keeps its
  // state, and blocks that growing adds count as present.
  void end_at(uint64_t size);
  // The first missing block at or past the one that holds byte `off`.
  std::optional<uint64_t> first_missing_from(uint64_t off) const;
  // The file has `blocks` download blocks: bits that already existed keep
  // their value, new ones are missing.
  void resize_blocks(uint64_t blocks);
  // A notification says the block is in the source file. False when the
  // block lies past the end of the bits.
  bool mark_present(uint64_t block);

  uint64_t block_size = 0;         // of a download block, set when the file is marked
  std::vector<bool> materialized;  // bit b: download block b is in the source file
  std::string path;                // relative to the source root, no leading "/"
  uint64_t missing = 0;            // clear bits; 0: the file is complete
  std::list<pending_read> reads;
  std::list<pending_write_buf> write_bufs;
  std::list<pending_setattr> setattrs;
  std::list<pending_open> opens;
  SourceIdentity identity;         // as marked; the size as its last inode left it
  bool nameless_reported = false;  // a request found the file with no name left
};

}  // namespace quarnix
