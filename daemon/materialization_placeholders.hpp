// Which files are placeholders: found by the start-up scan of the source
// tree, or, under --forgetmat, every regular file when it is first looked up.
#pragma once

#include <ftw.h>
#include <sys/stat.h>

#include <optional>
#include <string>

#include "daemon/inode_record.hpp"

namespace quarnix {

// nftw callback: registers a regular non-empty file as missing all of its
// download blocks. Always 0.
int mark_unmaterialized(const char* fpath, const struct stat* sb, int typeflag, struct FTW* ftwbuf);

// Marks every placeholder of the source tree and reports how many there are;
// runs before any other thread exists.
void scan_for_placeholders();

// For a record that do_lookup has just created, with the state mutex held:
// registers the file under --forgetmat (returning the path resolved for it)
// and links the file's materialization record to the inode. A record left
// under the inode number by another file, as the identity tells, is dropped;
// so is any for a file the mount has just `created`.
std::optional<std::string> link_materialization_record(InodeRecord& record, const struct stat& attr,
                                                       bool created);

// For a record that do_forget is about to erase, with the state mutex and
// its own held: the linked record goes with it unless its file is still
// incomplete and has a name.
void unlink_materialization_record(InodeRecord& record);

// After a name was removed through the mount (`fd`: an O_PATH descriptor of
// the file it named): when that was the file's last name, its record is
// dropped, and operations parked on it fail with EIO, since the peer can no
// longer find the file. With no lock held.
void name_removed(int fd);

}  // namespace quarnix
