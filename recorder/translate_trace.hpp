// Turns the raw read trace that the recorder kept into a read log.
#pragma once

#include <string>

#include "tracesession/mountpoint.hpp"

namespace quarnix {

// Reads <base>.trace and writes <base>.csv and <base>_files.csv: one line per
// read that returned data and per memory mapping of a file of `ino2path`, one
// file-map line per such file. A file whose path holds a tab or a line break
// is left out with a warning. Throws RuntimeError on an open or write failure.
void translate_trace(const std::string& base, const ino2path_t& ino2path);

}  // namespace quarnix
