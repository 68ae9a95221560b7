// The command line of the daemon.
#pragma once

#include <boost/program_options.hpp>
#include <string>

namespace quarnix {

std::string usage(const char* argv0);

// Parses and checks the options into the global state; exits on bad input.
boost::program_options::variables_map parse_options(int argc, char** argv);

}  // namespace quarnix
