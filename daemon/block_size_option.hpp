// A byte count option that must be positive: the block sizes are divided by.
#pragma once

#include <boost/any.hpp>
#include <boost/program_options.hpp>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace quarnix {

struct BlockSizeOption {
  int64_t bytes = 0;
};

inline std::ostream& operator<<(std::ostream& out, const BlockSizeOption& option) {
  return out << option.bytes;
}

// Found by Boost.ProgramOptions through argument-dependent lookup.
void validate(boost::any& value, const std::vector<std::string>& tokens, BlockSizeOption*, int);

}  // namespace quarnix
