// The hand-written line matchers of the trainer against the patterns they
// stand for: std::regex is safe on short lines, so it serves as the reference.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "quarnix_trainer/read_log_lines.hpp"
#include "tests/fixtures/pattern_lines.hpp"

namespace quarnix::testing {
namespace {

using namespace quarnix::trainer;

const std::vector<std::string> log_pieces = {
    "0",        "17",   "9",    ".",       "1.5", "\t",   "\t",
    "\t",       "read", "mmap", "getattr", "rea", "x",    "Z",
    "_",        "\r",   "\n",   " ",       "#",   "/a b", std::string(1, '\0'),
    "\xc3\xa9", "\x80", "-1"};

const std::vector<std::string> read_line_starts = {"0.1\tread\t", "0.1\tmmap\t", "12\tread\t",
                                                   "1.\tgetattr\t", ""};

std::vector<std::string> log_lines() {
  std::vector<std::string> lines = random_lines(log_pieces, 20000);
  const std::vector<std::string> tails = random_lines(log_pieces, 20000);
  for (std::size_t i = 0; i < tails.size(); ++i)
    lines.push_back(read_line_starts[i % read_line_starts.size()] + tails[i]);
  return lines;
}

Groups groups(const std::optional<std::string_view>& match) {
  if (!match) return std::nullopt;
  return std::vector<std::string>{std::string(*match)};
}

Groups groups(const std::optional<ReadLine>& match) {
  if (!match) return std::nullopt;
  return std::vector<std::string>{std::string(match->id), std::string(match->offset),
                                  std::string(match->size)};
}

template <typename IdAndText>
Groups groups(const std::optional<IdAndText>& match) {
  if (!match) return std::nullopt;
  return std::vector<std::string>{std::string(match->id), std::string(match->path)};
}

TEST(TrainerReadLogLines, MatchersAcceptWhatTheirPatternsAccept) {
  const std::regex operation_pattern("^[0-9.]+\\t([[:alpha:]]+)\\t");
  const std::regex read_pattern("^[0-9.]+\\tread\\t(\\d+)\\t(\\d+)\\t(\\d+)$");
  const std::regex mmap_pattern("^[0-9.]+\\tmmap\\t(\\d+)\\t(.+)$");
  const std::regex path_pattern("^(\\d+)\\t(.+)$");

  int matched = 0;
  for (const std::string& line : log_lines()) {
    const auto operation = match_operation(line);
    const auto read = match_read_line(line);
    const auto mmap = match_mmap_line(line);
    const auto path = match_path_line(line);
    const std::string shown = ::testing::PrintToString(line);
    EXPECT_EQ(groups(operation), search_groups(line, operation_pattern)) << shown;
    EXPECT_EQ(groups(read), search_groups(line, read_pattern)) << shown;
    EXPECT_EQ(groups(mmap), search_groups(line, mmap_pattern)) << shown;
    EXPECT_EQ(groups(path), search_groups(line, path_pattern)) << shown;
    matched += (operation ? 1 : 0) + (read ? 1 : 0) + (mmap ? 1 : 0) + (path ? 1 : 0);
  }
  // The comparison means little unless both outcomes occur often.
  EXPECT_GT(matched, 2000);
}

// Every combination of right and wrong variants of the parts of a log name.
std::vector<std::string> log_names() {
  const std::vector<std::vector<std::string>> parts = {
      {"oplog_", "bpf_oplog_", "bpf_", "", "xoplog_"},
      {"20240101", "1", "", "x", "1x"},
      {"_", "", "-"},
      {"120000", "", "0", "a"},
      {"_files.csv", "_files.csv\n", "_files", ".csv", "_filesxcsv", "_files.csv.bak",
       "_files.csv_files.csv"}};
  std::vector<std::string> names = {""};
  for (const auto& variants : parts) {
    std::vector<std::string> longer;
    for (const std::string& name : names)
      for (const std::string& variant : variants)
        longer.push_back(name + variant);
    names = longer;
  }
  return names;
}

TEST(TrainerReadLogLines, LogPrefixesMatchTheirPatterns) {
  const std::regex daemon_pattern("^(oplog_[0-9]+_[0-9]+)_files\\.csv$");
  const std::regex kernel_pattern("^(bpf_oplog_[0-9]+_[0-9]+)_files\\.csv$");
  int matched = 0;
  for (const std::string& name : log_names()) {
    for (const bool kernel : {false, true}) {
      const auto prefix = match_log_prefix(name, kernel);
      EXPECT_EQ(groups(prefix), search_groups(name, kernel ? kernel_pattern : daemon_pattern))
          << ::testing::PrintToString(name);
      matched += prefix ? 1 : 0;
    }
  }
  // Both kinds, each with two good dates and two good times.
  EXPECT_EQ(matched, 8);
  EXPECT_EQ(match_log_prefix("oplog_20240101_120000_files.csv", false), "oplog_20240101_120000");
  EXPECT_EQ(match_log_prefix("bpf_oplog_20240101_120000_files.csv", true),
            "bpf_oplog_20240101_120000");
}

TEST(TrainerReadLogLines, LongLinesNeedNoDeepStack) {
  const std::string long_path(1 << 20, 'p');
  const auto path = match_path_line("12\t" + long_path);
  ASSERT_TRUE(path);
  EXPECT_EQ(path->path.size(), long_path.size());

  const std::string long_digits(1 << 20, '7');
  EXPECT_FALSE(match_read_line("0.5\tread\t1\t" + long_digits + "\t3x"));
  EXPECT_FALSE(match_operation(long_digits + "x"));
  EXPECT_TRUE(match_mmap_line("0.5\tmmap\t1\t" + long_path));
}

}  // namespace
}  // namespace quarnix::testing
