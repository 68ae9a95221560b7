#include "support/read_log_text.hpp"

#include <boost/format.hpp>
#include <limits>
#include <string>

#include "support/block_number.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// The text with its tabs and line breaks made visible, for a one-line warning.
std::string visible(std::string_view text) {
  std::string shown;
  for (const char c : text) {
    if (c == '\t')
      shown += "\\t";
    else if (c == '\n')
      shown += "\\n";
    else if (c == '\r')
      shown += "\\r";
    else
      shown += c;
  }
  return shown;
}

}  // namespace

bool fits_read_log_line(std::string_view text) {
  return text.find_first_of("\t\n\r") == std::string_view::npos;
}

void warn_left_out_of_read_log(std::string_view what, std::string_view text) {
  log_warning(boost::format("operations log: %s line left out, its name holds a tab or a line "
                            "break: %s") %
              what % visible(text));
}

bool fits_read_log_blocks(std::uint64_t offset, std::uint64_t size) {
  if (size == 0) return true;
  if (size - 1 > std::numeric_limits<std::uint64_t>::max() - offset) return false;
  return (offset + size - 1) / smallest_trained_block_size <= largest_block_number;
}

}  // namespace quarnix
