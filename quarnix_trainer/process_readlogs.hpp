// Reading a directory of read logs into the tables the trainer learns from:
// the log prefixes, the file tables of the path lists, and the counts of every
// run of trail length + 1 consecutive blocks of the read lines.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>

#include "quarnix_trainer/block_sequence.hpp"

namespace quarnix::trainer {

using hash2path_t = std::unordered_map<std::uint32_t, std::string>;
using id2hash_t = std::unordered_map<std::uint64_t, std::uint32_t>;
// Read size in bytes to the number of read lines of that size.
using sizecount_t = std::map<std::uint64_t, std::uint64_t>;

// The prefixes of the logs in `directory` (not its subdirectories), found by
// their path lists: "oplog_<date>_<time>" of the daemon, or with `kernel`
// "bpf_oplog_<date>_<time>" of the recorder. String order is time order.
std::set<std::string> find_oplogs(const std::string& directory, bool kernel);

// Adds the path list `file` (lines "<id>\t<path>") to both tables. Two paths
// with one hash throw RuntimeError "Hash collision for <stored> and <new>".
void read_id2path(const std::string& file, hash2path_t& hash2path, id2hash_t& id2hash);

// Counts every window of trail_len + 1 consecutive blocks of the read lines of
// the log `file`; windows never span two logs. A read of size 0 covers no
// block but is counted in `sizecount`.
void process_reads(const std::string& file, occ_count_t& occ, const id2hash_t& id2hash,
                   sizecount_t& sizecount, unsigned int blocksize, unsigned int trail_len);

}  // namespace quarnix::trainer
