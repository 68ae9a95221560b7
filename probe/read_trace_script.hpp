// The bpftrace script that prints the read trace (the text of read_trace.bt).
#pragma once

#include <string>

namespace quarnix::probe {

extern const std::string fuse_read_trace_script;

}  // namespace quarnix::probe
