#include "daemon/block_size_option.hpp"

#include <charconv>

namespace po = boost::program_options;

namespace quarnix {

void validate(boost::any& value, const std::vector<std::string>& tokens, BlockSizeOption*, int) {
  po::validators::check_first_occurrence(value);
  const std::string& text = po::validators::get_single_string(tokens);
  BlockSizeOption option;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, option.bytes);
  if (error != std::errc() || stop != end || option.bytes <= 0)
    throw po::error_with_option_name("the argument ('" + text +
                                     "') for option '%canonical_option%' must be a positive number "
                                     "of bytes");
  value = option;
}

}  // namespace quarnix
