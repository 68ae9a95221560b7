#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "support/command_line.hpp"
#include "support/errors.hpp"

namespace po = boost::program_options;

namespace quarnix::testing {
namespace {

struct Arguments {
  explicit Arguments(std::vector<std::string> words) : words(std::move(words)) {
    for (auto& word : this->words)
      pointers.push_back(word.data());
  }
  int argc() const { return static_cast<int>(pointers.size()); }
  char** argv() { return pointers.data(); }
  std::vector<std::string> words;
  std::vector<char*> pointers;
};

po::options_description example_options() {
  po::options_description options("Options");
  options.add_options()("v", po::value<int>()->default_value(2), "Log level")("help", "Print help")(
      "name", po::value<std::string>(), "A name");
  return options;
}

po::variables_map parse(std::vector<std::string> words) {
  Arguments arguments(std::move(words));
  po::variables_map vm;
  parse_command_line(arguments.argc(), arguments.argv(), example_options(),
                     {"source", "mountpoint"}, vm);
  return vm;
}

TEST(CommandLine, PositionalArgumentsAreStoredUnderTheirNames) {
  const auto vm = parse({"prog", "src", "--v", "4", "mnt", "--name", "late"});
  EXPECT_EQ(vm["source"].as<std::string>(), "src");
  EXPECT_EQ(vm["mountpoint"].as<std::string>(), "mnt");
  EXPECT_EQ(vm["v"].as<int>(), 4);
  EXPECT_EQ(vm["name"].as<std::string>(), "late");
}

TEST(CommandLine, CountOfPositionalArgumentsIsChecked) {
  for (auto words : {std::vector<std::string>{"prog", "one"},
                     std::vector<std::string>{"prog", "one", "two", "three"},
                     std::vector<std::string>{"prog"}}) {
    try {
      parse(words);
      ADD_FAILURE() << "accepted " << words.size() - 1 << " positional arguments";
    } catch (const po::error& error) {
      EXPECT_STREQ(error.what(), "Invalid number of arguments");
    }
  }
  EXPECT_THROW(parse({"prog", "a", "b", "--unknown"}), po::error);
  EXPECT_THROW(parse({"prog", "a", "b", "--v", "x"}), po::error);
  // Help needs no positional arguments.
  EXPECT_TRUE(parse({"prog", "--help"}).count("help"));
}

TEST(CommandLine, UsageText) {
  EXPECT_EQ(format_usage("./quarnix", " [options] <source> <mountpoint>\n\n"),
            "Usage: ./quarnix --help\n       ./quarnix [options] <source> <mountpoint>\n\n");
}

TEST(CommandLineDeathTest, BadCommandLineExitsWithStatusTwo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string usage = format_usage("prog", " [options] <source> <mountpoint>\n\n");
  EXPECT_EXIT(
      {
        Arguments arguments({"prog", "only-one"});
        parse_command_line_or_exit(arguments.argc(), arguments.argv(), example_options(),
                                   {"source", "mountpoint"}, usage);
      },
      ::testing::ExitedWithCode(2),
      "^Invalid number of arguments\nUsage: prog --help\n       prog \\[options\\] "
      "<source> <mountpoint>\n\n$");
}

TEST(CommandLine, ResolvePath) {
  EXPECT_EQ(resolve_path("."), std::filesystem::current_path().string());
  const auto directory =
      std::filesystem::temp_directory_path() / ("quarnix_resolve_" + std::to_string(getpid()));
  std::filesystem::create_directories(directory / "target");
  std::filesystem::create_directory_symlink(directory / "target", directory / "link");
  EXPECT_EQ(resolve_path((directory / "link").string()),
            std::filesystem::canonical(directory / "target").string());
  const std::string missing = (directory / "missing").string();
  try {
    resolve_path(missing);
    ADD_FAILURE() << "resolved a missing path";
  } catch (const RuntimeError& error) {
    EXPECT_EQ(std::string(error.what()), "Unable to resolve " + missing + ": " + strerror(ENOENT));
  }
  std::filesystem::remove_all(directory);
}

}  // namespace
}  // namespace quarnix::testing
