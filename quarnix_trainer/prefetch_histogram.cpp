#include "quarnix_trainer/prefetch_histogram.hpp"

#include <boost/format.hpp>
#include <cstdint>
#include <map>

#include "support/replacement_file.hpp"

namespace quarnix::trainer {

std::string format_prefetch_histogram(const prefetches_needed_t& needed, double p_threshold) {
  std::map<int, std::uint64_t> contexts_per_count;
  for (const auto& [context, count] : needed)
    contexts_per_count[count] += 1;

  std::string text = (boost::format("# of prefetches needed for p=%.2f") % p_threshold).str() +
                     "\tnumber of block sequences\n";
  for (const auto& [count, contexts] : contexts_per_count)
    text += std::to_string(count) + "\t" + std::to_string(contexts) + "\n";
  return text;
}

void write_prefetch_histogram(const std::string& path, const prefetches_needed_t& needed,
                              double p_threshold) {
  const std::string text = format_prefetch_histogram(needed, p_threshold);
  ReplacementFile file(path, "Unable to write prefetch histogram " + path);
  file.write(text);
  file.commit();
}

}  // namespace quarnix::trainer
