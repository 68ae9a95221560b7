#include "support/command_line.hpp"

#include <errno.h>
#include <stdlib.h>

#include <cstdlib>
#include <iostream>
#include <memory>

#include "support/errors.hpp"

namespace po = boost::program_options;

namespace quarnix {

void parse_command_line(int argc, char** argv, const po::options_description& visible_options,
                        const std::vector<std::string>& positional_names, po::variables_map& vm) {
  std::vector<std::string> positional;
  po::options_description all_options;
  all_options.add_options()("positional", po::value<std::vector<std::string>>(&positional));
  all_options.add(visible_options);

  po::positional_options_description positional_description;
  positional_description.add("positional", -1);

  po::store(po::command_line_parser(argc, argv)
                .options(all_options)
                .positional(positional_description)
                .run(),
            vm);
  if (vm.count("help")) return;
  po::notify(vm);

  if (positional.size() != positional_names.size()) throw po::error("Invalid number of arguments");
  for (std::size_t i = 0; i < positional_names.size(); ++i)
    vm.insert({positional_names[i], po::variable_value(positional[i], false)});
}

std::string format_usage(const char* argv0, const char* synopsis) {
  return std::string("Usage: ") + argv0 + " --help\n" + "       " + argv0 + synopsis;
}

void exit_with_usage(const std::string& message, const std::string& usage_text) {
  std::cerr << message << std::endl << usage_text;
  std::exit(2);
}

po::variables_map parse_command_line_or_exit(int argc, char** argv,
                                             const po::options_description& visible_options,
                                             const std::vector<std::string>& positional_names,
                                             const std::string& usage_text) {
  po::variables_map vm;
  try {
    parse_command_line(argc, argv, visible_options, positional_names, vm);
  } catch (const po::error& error) {
    exit_with_usage(error.what(), usage_text);
  }
  return vm;
}

void print_help_and_exit(const std::string& usage_text, const po::options_description& options) {
  std::cout << usage_text << options << std::endl;
  std::exit(0);
}

std::string resolve_path(const char* path) {
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
  if (!resolved) {
    const int error_number = errno;
    throw RuntimeError(std::string("Unable to resolve ") + path, error_number);
  }
  return std::string(resolved.get());
}

std::string resolve_path(const std::string& path) {
  return resolve_path(path.c_str());
}

}  // namespace quarnix
