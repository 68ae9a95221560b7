// Turns the raw read trace that the recorder kept into a read log.
#pragma once

#include <string>

#include "support/unique_fd.hpp"
#include "tracesession/mountpoint.hpp"

namespace quarnix::recorder {

// The descriptors of <base>.csv and <base>_files.csv, as their creation returned them.
struct ReadLogOutputs {
  UniqueFd csv;
  UniqueFd files;
};

// Reads the raw trace <base>.trace (from `trace_path`, a name that reaches it)
// and writes the read log through `outputs`: one line per read that returned
// data and per memory mapping of a file of `ino2path`, one file-map line per
// such file. A file whose path holds a tab or a line break is left out with a
// warning, and so is a read that the trainer could not number. Throws
// RuntimeError on an open or write failure.
void translate_trace(const std::string& base, const std::string& trace_path, ReadLogOutputs outputs,
                     const ino2path_t& ino2path);

}  // namespace quarnix::recorder
