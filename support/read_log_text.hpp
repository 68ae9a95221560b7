// The names and paths that the read logs can hold. A line of the operations
// log or of the file map holds its fields between tabs and ends at a line
// break (the trainer ends its lines at a carriage return as well), so a name
// with a tab, a newline or a carriage return cannot be written without
// breaking the line apart; both writers leave such lines out.
#pragma once

#include <string_view>

namespace quarnix {

bool fits_read_log_line(std::string_view text);

// The one WARNING for a line of `what` (an operation's name, or "file map")
// left out because of `text`, with its tabs and line breaks made visible.
void warn_left_out_of_read_log(std::string_view what, std::string_view text);

}  // namespace quarnix
