// Crash reports: a text file in the crash directory (or standard error) and,
// at most once a minute, a compressed core dump of a copy of the daemon.
#pragma once

#include <memory>
#include <ostream>
#include <string>

namespace quarnix {

std::unique_ptr<std::ostream> open_crash_report();
// A crash report that holds one line: what the cache reports.
void write_crash_report_line(const std::string& line);

// Writes a core dump of a copy of this process to `path` and has gzip
// compress it to `path`.gz; returns when the dump is written. Both programs
// work in a new directory beside `path`, and no existing name is replaced.
void dump_core(const std::string& path);

}  // namespace quarnix
