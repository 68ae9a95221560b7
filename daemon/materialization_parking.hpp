// The materialization checks of read, write_buf, setattr and open: an operation
// that needs missing download blocks asks the peer for them and is parked
// until the notifications arrive. Each is called for an inode with a linked
// materialization record and takes the inode's mutex itself, so that no
// notification comes between the test of the bits and the parking.
#pragma once

#include <optional>

#include "daemon/daemon_state.hpp"

namespace quarnix {

// Nothing when the read may go on to the source now; otherwise the read's
// result: 0 when parked, or the errno after which it was answered with EIO.
// A read without a request (the read-ahead thread's) is never parked: its
// handle may be gone by the time the blocks arrive. It gets EAGAIN.
std::optional<int> park_read(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, size_t size,
                             off_t off, const fuse_file_info* fi);

// True when the write was parked or answered with an error. A write waits for
// its missing blocks, for the answers owed for any of its blocks (the peer's
// late write of one would land over it), and behind every write parked
// before it.
bool park_write_buf(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, fuse_bufvec* in,
                    size_t size, off_t off, const fuse_file_info* fi);

// A setattr with a new size: waits for the first missing block from the new
// end of the file on, or changes the size at once; either under the inode's
// mutex, so that the blocks the change ends are settled with it.
void change_size_when_present(fuse_req_t req, InodeRecord& inode, fuse_ino_t ino, struct stat* attr,
                              int to_set, const fuse_file_info* fi);

// An open that truncates the file: a size change to 0, which waits as a
// setattr would before the file is truncated; then completes the open.
void truncate_when_present(InodeRecord& inode, pending_open open);

}  // namespace quarnix
