#include "quarnix_trainer/run_trainer.hpp"

#include <iostream>
#include <set>
#include <string>

#include "profile/profile_file.hpp"
#include "quarnix_trainer/prefetch_histogram.hpp"
#include "quarnix_trainer/process_readlogs.hpp"
#include "quarnix_trainer/read_size_statistics.hpp"
#include "quarnix_trainer/sequence_statistics.hpp"
#include "quarnix_trainer/trainer_options.hpp"
#include "quarnix_trainer/tree_building.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace po = boost::program_options;

namespace quarnix::trainer {

namespace {

constexpr int exit_no_reads = 3;

struct ReadLogTables {
  hash2path_t hash2path;
  id2hash_t id2hash;
  occ_count_t occ;
  sizecount_t sizecount;
};

ReadLogTables read_logs(const po::variables_map& vm) {
  const std::string directory = vm["directory"].as<std::string>();
  const std::set<std::string> prefixes = find_oplogs(directory, vm.count("kernel") > 0);
  log_info(boost::format("Reading %d oplog files...") % prefixes.size());

  ReadLogTables tables;
  for (const std::string& prefix : prefixes) {
    log_debug(1, "Reading " + prefix);
    read_id2path(directory + "/" + prefix + "_files.csv", tables.hash2path, tables.id2hash);
    log_debug(1, boost::format("Encountered %d unique paths so far.") % tables.hash2path.size());
    process_reads(directory + "/" + prefix + ".csv", tables.occ, tables.id2hash, tables.sizecount,
                  vm["blocksize"].as<unsigned int>(), vm["trail-len"].as<unsigned int>());
  }
  return tables;
}

void report_read_sizes(const sizecount_t& sizecount, unsigned int blocksize) {
  const std::vector<read_size_count_t> sizes = sort_by_count_desc(sizecount);
  if (sizes.front().first < blocksize) log_warning("Blocksize may be poorly choisen.");
  print_blocksize_stats(sizes);
}

void dump_counts(const char* title, const occ_count_t& counts) {
  if (!log_enabled(3)) return;
  std::cout << title;
  print_occ_counts(counts);
}

}  // namespace

int run_trainer(int argc, char** argv) {
  install_terminate_handler();
  const po::variables_map vm = parse_options(argc, argv);
  const unsigned int blocksize = vm["blocksize"].as<unsigned int>();
  const double p_threshold = vm["p-threshold"].as<double>();

  const ReadLogTables tables = read_logs(vm);
  if (tables.sizecount.empty()) {
    log_warning("No log entries found (did you mean to use --kernel?).");
    return exit_no_reads;
  }
  report_read_sizes(tables.sizecount, blocksize);

  log_info(boost::format("Found %d distinct sequences.") % tables.occ.size());
  dump_counts("DEBUG: Occurence counts:\n", tables.occ);

  log_info("Aggregating...");
  const occ_count_t aggregated = calc_agg_occ_count(tables.occ, 1);
  log_info(boost::format("Calculated %d distinct aggregations.") % aggregated.size());
  dump_counts("DEBUG: Aggregated occurence counts:\n", aggregated);

  log_info("Calculating Markov-chain probabilities...");
  const block_probability_t probabilities = calc_block_probability(tables.occ, aggregated);

  log_info("Calculating prediction quality...");
  prefetches_needed_t needed = calc_prefetches_needed(probabilities, p_threshold);
  write_prefetch_histogram(prefetch_histogram_file, needed, p_threshold);
  log_info(boost::format("Weighted number of pre-fetches needed to reach p_t = %.2f: %.3f") %
           p_threshold % weighted_prefetches_needed(aggregated, needed));

  log_info("Creating prediction tree...");
  const BlockNode root = make_tree(probabilities, vm["min-p"].as<double>());
  log_info(boost::format("Tree size is %d nodes") % root.size());

  const ProfileSettings settings{vm.count("kernel") > 0, blocksize,
                                 vm["trail-len"].as<unsigned int>()};
  write_profile(vm["output"].as<std::string>(), settings, tables.hash2path, root);
  return 0;
}

}  // namespace quarnix::trainer
