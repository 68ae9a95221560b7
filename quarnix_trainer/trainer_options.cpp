#include "quarnix_trainer/trainer_options.hpp"

#include <boost/format.hpp>

#include "profile/block_node.hpp"
#include "support/command_line.hpp"
#include "support/logging.hpp"

namespace po = boost::program_options;

namespace quarnix::trainer {

std::string usage(const char* argv0) {
  return format_usage(argv0, " [options] <directory>\n\n");
}

namespace {

// Block numbers are offsets divided by the block size.
void check_blocksize(unsigned int blocksize) {
  if (blocksize == 0)
    throw po::error(
        "the argument ('0') for option '--blocksize' must be a positive number of "
        "bytes");
}

// A prediction needs a context of at least one block. The tree is as deep as
// the trail length, and the profile readers refuse deeper trees; the bound
// also keeps trail length + 1 within 32 bits.
void check_trail_len(unsigned int trail_len) {
  if (trail_len == 0)
    throw po::error("the argument ('0') for option '--trail-len' must be at least 1");
  if (trail_len > max_block_node_depth)
    throw po::error((boost::format("the argument ('%d') for option '--trail-len' must be at most "
                                   "%d") %
                     trail_len % max_block_node_depth)
                        .str());
}

po::options_description option_table() {
  po::options_description options("Options");
  // clang-format off
  options.add_options()
      ("v", po::value<int>()->default_value(2), "Log level (0: error, 1: warn, 2: info, 3+: debug")
      ("trail-len", po::value<unsigned int>()->default_value(3)->notifier(check_trail_len),
       "Number of trailing reads used to calculate the likelihoods of potential upcoming read "
       "requests. Default: 3")
      ("blocksize", po::value<unsigned int>()->default_value(131072)->notifier(check_blocksize),
       "Block size to use.")
      ("kernel", "Process logs from kernel traces.")
      ("output", po::value<std::string>()->default_value("readahead_profile.ba"),
       "Where to save the generated profile.")
      ("min-p", po::value<double>()->default_value(0.1),
       "Minimum likelihood for a prediction to be included in the output.")
      ("p-threshold", po::value<double>()->default_value(0.9),
       "Threshold likelihood for prediction quality calculation.")
      ("help", "Print help");
  // clang-format on
  return options;
}

}  // namespace

po::variables_map parse_options(int argc, char** argv) {
  const po::options_description options = option_table();
  po::variables_map vm =
      parse_command_line_or_exit(argc, argv, options, {"directory"}, usage(argv[0]));
  if (vm.count("help")) print_help_and_exit(usage(argv[0]), options);
  log_level = vm["v"].as<int>();
  return vm;
}

}  // namespace quarnix::trainer
