// Descriptors 0-2 at start-up. One the daemon was started without would be
// taken by the next file it opens (the cache file, say), and log lines or
// materialization requests would then be written into that file.
#pragma once

namespace quarnix {

struct StandardDescriptors {
  bool input_was_closed = false;
  bool output_was_closed = false;
};

// Reopens each closed one of descriptors 0-2 on /dev/null; runs before
// anything else is opened. Tells which of the first two were closed.
StandardDescriptors reopen_closed_standard_descriptors();

// With on-demand materialization standard input and output are the peer's
// channel: without either the daemon cannot serve, and ends with an error.
void require_materialization_channel(const StandardDescriptors& descriptors);

}  // namespace quarnix
