// The trainer's command line.
#pragma once

#include <boost/program_options.hpp>
#include <string>

namespace quarnix::trainer {

std::string usage(const char* argv0);

// Parses the command line and sets the log level from --v. Exits 2 with the
// error and the usage text on a bad command line (a block size of 0 and a
// trail length deeper than a profile may be included), and 0 after --help.
boost::program_options::variables_map parse_options(int argc, char** argv);

}  // namespace quarnix::trainer
