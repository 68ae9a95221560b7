// An output stream that writes through a descriptor it owns: for a file that
// must be written as the very file that was created, never reopened by name.
#pragma once

#include <ext/stdio_filebuf.h>

#include <ostream>

#include "support/unique_fd.hpp"

namespace quarnix {

class DescriptorStream : public std::ostream {
 public:
  explicit DescriptorStream(UniqueFd fd)
      : std::ostream(nullptr), buffer(fd.release(), std::ios::out) {
    rdbuf(&buffer);
  }

  // Writes out what is buffered and closes the descriptor; a failure of
  // either (errno set) puts the stream into its failed state.
  void close() {
    if (!buffer.close()) setstate(std::ios::failbit);
  }

 private:
  __gnu_cxx::stdio_filebuf<char> buffer;
};

}  // namespace quarnix
