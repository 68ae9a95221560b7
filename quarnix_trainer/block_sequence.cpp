#include "quarnix_trainer/block_sequence.hpp"

#include <sstream>

namespace quarnix::trainer {

block_sequence_t::block_sequence_t(const block_sequence_t& other, std::size_t start,
                                   std::size_t count)
    : length(count) {
  blocks.reserve(count);
  for (std::size_t i = 0; i < count; ++i)
    blocks.push_back(other.at(start + i));
}

std::string sequence_to_string(const block_sequence_t& sequence) {
  if (sequence.size() == 0) return "(empty)";
  std::ostringstream text;
  for (std::size_t i = 0; i < sequence.size(); ++i) {
    if (i != 0) text << " -> ";
    text << sequence.at(i);
  }
  return text.str();
}

}  // namespace quarnix::trainer
