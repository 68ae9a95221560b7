// Command-line helpers shared by every program: options plus a fixed number of
// positional arguments, the usage text, and realpath.
#pragma once

#include <boost/program_options.hpp>
#include <string>
#include <vector>

namespace quarnix {

// Parses options and exactly positional_names.size() positional arguments into
// `vm`, where each positional value is stored under its name. With "help" the
// positional count is not checked. Throws boost::program_options::error.
void parse_command_line(int argc, char** argv,
                        const boost::program_options::options_description& visible_options,
                        const std::vector<std::string>& positional_names,
                        boost::program_options::variables_map& vm);

// "Usage: <argv0> --help\n" and "       <argv0><synopsis>".
std::string format_usage(const char* argv0, const char* synopsis);

// A bad command line: writes the message, a newline and the usage text to
// standard error and exits with status 2.
[[noreturn]] void exit_with_usage(const std::string& message, const std::string& usage_text);

// parse_command_line for a program's main: on a bad command line writes the
// error and the usage text to standard error and exits with status 2.
boost::program_options::variables_map parse_command_line_or_exit(
    int argc, char** argv, const boost::program_options::options_description& visible_options,
    const std::vector<std::string>& positional_names, const std::string& usage_text);

// Writes the usage text, the option list and a newline to standard output and exits 0.
[[noreturn]] void print_help_and_exit(const std::string& usage_text,
                                      const boost::program_options::options_description& options);

// The canonical absolute path; throws RuntimeError "Unable to resolve <path>: <errno text>".
std::string resolve_path(const char* path);
std::string resolve_path(const std::string& path);

}  // namespace quarnix
