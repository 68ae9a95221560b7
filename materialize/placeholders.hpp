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
// and links the file's materialization record to the inode.
std::optional<std::string> link_materialization_record(InodeRecord& record,
                                                       const struct stat& attr);

}  // namespace quarnix
