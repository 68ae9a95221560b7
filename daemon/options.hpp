// The command line of the daemon.
#pragma once

#include <boost/program_options.hpp>
#include <string>

#include "daemon/standard_descriptors.hpp"

namespace quarnix {

std::string usage(const char* argv0);

// Parses and checks the options into the global state; exits on bad input.
// `descriptors`: which standard descriptors the daemon was started without.
boost::program_options::variables_map parse_options(int argc, char** argv,
                                                    const StandardDescriptors& descriptors);

}  // namespace quarnix
