#include "quarnix_trainer/read_log_lines.hpp"

#include "support/line_cursor.hpp"

namespace quarnix::trainer {

// Why the matchers below are exact: every repeated item of the patterns
// ([0-9.]+, [[:alpha:]]+, \d+) is followed by a character that the item
// cannot match (a tab, an underscore, or the end of the line), so its greedy
// run can never be given back; the matchers take each run whole and demand the
// next item right after it. Without the multiline flag ^ holds only at the
// start of the line and $ only at its end, so regex_search behaves as a match
// that may leave a tail only where the pattern has no $.

namespace {

bool is_timestamp_character(char c) {
  return is_ascii_digit(c) || c == '.';
}

// "^[0-9.]+\t<operation>\t", leaving the cursor after the second tab.
bool take_prefix(LineCursor& cursor, std::string_view operation) {
  return cursor.take_run(is_timestamp_character) && cursor.take("\t") && cursor.take(operation) &&
         cursor.take("\t");
}

}  // namespace

std::optional<std::string_view> match_operation(std::string_view line) {
  LineCursor cursor(line);
  if (!cursor.take_run(is_timestamp_character) || !cursor.take("\t")) return std::nullopt;
  const std::optional<std::string_view> operation = cursor.take_run(is_ascii_letter);
  if (!operation || !cursor.take("\t")) return std::nullopt;
  return operation;
}

std::optional<ReadLine> match_read_line(std::string_view line) {
  LineCursor cursor(line);
  if (!take_prefix(cursor, "read")) return std::nullopt;
  const auto id = cursor.take_run(is_ascii_digit);
  if (!id || !cursor.take("\t")) return std::nullopt;
  const auto offset = cursor.take_run(is_ascii_digit);
  if (!offset || !cursor.take("\t")) return std::nullopt;
  const auto size = cursor.take_run(is_ascii_digit);
  if (!size || !cursor.at_end()) return std::nullopt;
  return ReadLine{*id, *offset, *size};
}

std::optional<MmapLine> match_mmap_line(std::string_view line) {
  LineCursor cursor(line);
  if (!take_prefix(cursor, "mmap")) return std::nullopt;
  const auto id = cursor.take_run(is_ascii_digit);
  if (!id || !cursor.take("\t")) return std::nullopt;
  const auto path = cursor.take_rest_of_line();
  if (!path) return std::nullopt;
  return MmapLine{*id, *path};
}

std::optional<PathLine> match_path_line(std::string_view line) {
  LineCursor cursor(line);
  const auto id = cursor.take_run(is_ascii_digit);
  if (!id || !cursor.take("\t")) return std::nullopt;
  const auto path = cursor.take_rest_of_line();
  if (!path) return std::nullopt;
  return PathLine{*id, *path};
}

std::optional<std::string_view> match_log_prefix(std::string_view file_name, bool kernel) {
  LineCursor cursor(file_name);
  if (!cursor.take(kernel ? "bpf_oplog_" : "oplog_")) return std::nullopt;
  if (!cursor.take_run(is_ascii_digit) || !cursor.take("_") || !cursor.take_run(is_ascii_digit))
    return std::nullopt;
  constexpr std::string_view suffix = "_files.csv";
  if (!cursor.take(suffix) || !cursor.at_end()) return std::nullopt;
  return file_name.substr(0, file_name.size() - suffix.size());
}

}  // namespace quarnix::trainer
