// From sequence counts to a first-order Markov chain over contexts of trail
// length blocks, and the measure of how many predictions a context needs.
#pragma once

#include <map>

#include "quarnix_trainer/block_sequence.hpp"

namespace quarnix::trainer {

// Sequence of trail length + 1 blocks to the probability that its last block
// follows the others.
using block_probability_t = std::map<block_sequence_t, double>;
// Context to the number of its most probable predictions that reach the p-threshold.
using prefetches_needed_t = std::map<block_sequence_t, int>;

// For each sequence, adds its count to each of its prefixes that are 1 to
// `levels` blocks shorter. Throws RuntimeError when levels is not below the
// sequence length.
occ_count_t calc_agg_occ_count(const occ_count_t& counts, int levels);

// Each sequence's count over its context's aggregated count (levels 1).
block_probability_t calc_block_probability(const occ_count_t& counts,
                                           const occ_count_t& aggregated);

// Contexts whose predictions never add up to p_threshold get no entry.
prefetches_needed_t calc_prefetches_needed(block_probability_t probabilities, double p_threshold);

// Mean of the prefetches needed over all contexts, weighted by how often each
// context occurred; a context that never reaches the threshold counts as 0
// (and is entered into `needed` as 0).
double weighted_prefetches_needed(const occ_count_t& aggregated, prefetches_needed_t& needed);

// Writes "  <sequence>: <count>" lines to standard output, lowest count first.
void print_occ_counts(const occ_count_t& table);

}  // namespace quarnix::trainer
