// "/proc/self/fd/<fd>": the name under which system calls without a
// descriptor-relative form reach the object behind an O_PATH descriptor.
#pragma once

#include <cstdio>

namespace quarnix {

class ProcPath {
 public:
  explicit ProcPath(int fd) { std::snprintf(text, sizeof text, "/proc/self/fd/%i", fd); }
  const char* c_str() const { return text; }

 private:
  char text[64];
};

// The descriptor-exhaustion line of operations that open descriptors.
void report_if_out_of_descriptors(int error);

}  // namespace quarnix
