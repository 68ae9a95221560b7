// The names and paths that the read logs can hold. A line of the operations
// log or of the file map holds its fields between tabs and ends at a line
// break (the trainer ends its lines at a carriage return as well), so a name
// with a tab, a newline or a carriage return cannot be written without
// breaking the line apart; both writers leave such lines out.
#pragma once

#include <cstdint>
#include <string_view>

namespace quarnix {

bool fits_read_log_line(std::string_view text);

// The one WARNING for a line of `what` (an operation's name, or "file map")
// left out because of `text`, with its tabs and line breaks made visible.
void warn_left_out_of_read_log(std::string_view what, std::string_view text);

// The trainer numbers the blocks of a read log in 32 bits and refuses a whole
// log in which one read reaches past the last of them. A read fits when its
// bytes end within 2^32 blocks of the smallest block size a log is trained
// with (the trainer's default is larger), and before the 64-bit offsets end.
inline constexpr std::uint64_t smallest_trained_block_size = 4096;
bool fits_read_log_blocks(std::uint64_t offset, std::uint64_t size);

}  // namespace quarnix
