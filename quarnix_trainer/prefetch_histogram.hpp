// The prefetch histogram: how many contexts need how many predictions to
// reach the p-threshold.
#pragma once

#include <string>

#include "quarnix_trainer/sequence_statistics.hpp"

namespace quarnix::trainer {

inline constexpr const char* prefetch_histogram_file = "prefetch_histogram.txt";

// The header line, then "<N>\t<contexts needing exactly N>" in ascending N.
std::string format_prefetch_histogram(const prefetches_needed_t& needed, double p_threshold);

// Replaces `path` with the histogram only once all of it is written; throws
// RuntimeError "Unable to write prefetch histogram <path>: <errno text>".
void write_prefetch_histogram(const std::string& path, const prefetches_needed_t& needed,
                              double p_threshold);

}  // namespace quarnix::trainer
