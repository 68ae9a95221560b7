#include "quarnix_trainer/read_log_lines.hpp"

namespace quarnix {

// Why the matchers below are exact: every repeated item of the patterns
// ([0-9.]+, [[:alpha:]]+, \d+) is followed by a character that the item
// cannot match (a tab, an underscore, or the end of the line), so its greedy
// run can never be given back; the matchers take each run whole and demand the
// next item right after it. Without the multiline flag ^ holds only at the
// start of the line and $ only at its end, so regex_search behaves as a match
// that may leave a tail only where the pattern has no $. In the "C" locale \d
// and [0-9] are the ASCII digits and [[:alpha:]] the ASCII letters; . is any
// character but '\n' and '\r' (std::getline leaves no '\n' in a line, so a
// '\r' is what a line can hold that . refuses).

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool is_timestamp_character(char c) {
  return is_digit(c) || c == '.';
}

bool is_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_line_character(char c) {
  return c != '\n' && c != '\r';
}

// Reads a line from left to right; every take fails without moving.
class LineCursor {
 public:
  explicit LineCursor(std::string_view line) : rest(line) {}

  // The longest non-empty run of characters that satisfy `accepts`.
  template <typename Predicate>
  std::optional<std::string_view> take_run(Predicate accepts) {
    std::size_t length = 0;
    while (length < rest.size() && accepts(rest[length]))
      ++length;
    if (length == 0) return std::nullopt;
    const std::string_view run = rest.substr(0, length);
    rest.remove_prefix(length);
    return run;
  }

  bool take(std::string_view text) {
    if (rest.substr(0, text.size()) != text) return false;
    rest.remove_prefix(text.size());
    return true;
  }

  bool at_end() const { return rest.empty(); }

  // (.+)$: the whole non-empty rest, when no character of it is a line terminator.
  std::optional<std::string_view> take_rest_of_line() {
    if (rest.empty()) return std::nullopt;
    for (char c : rest)
      if (!is_line_character(c)) return std::nullopt;
    const std::string_view all = rest;
    rest = {};
    return all;
  }

 private:
  std::string_view rest;
};

// "^[0-9.]+\t<operation>\t", leaving the cursor after the second tab.
bool take_prefix(LineCursor& cursor, std::string_view operation) {
  return cursor.take_run(is_timestamp_character) && cursor.take("\t") && cursor.take(operation) &&
         cursor.take("\t");
}

}  // namespace

std::optional<std::string_view> match_operation(std::string_view line) {
  LineCursor cursor(line);
  if (!cursor.take_run(is_timestamp_character) || !cursor.take("\t")) return std::nullopt;
  const std::optional<std::string_view> operation = cursor.take_run(is_letter);
  if (!operation || !cursor.take("\t")) return std::nullopt;
  return operation;
}

std::optional<ReadLine> match_read_line(std::string_view line) {
  LineCursor cursor(line);
  if (!take_prefix(cursor, "read")) return std::nullopt;
  const auto id = cursor.take_run(is_digit);
  if (!id || !cursor.take("\t")) return std::nullopt;
  const auto offset = cursor.take_run(is_digit);
  if (!offset || !cursor.take("\t")) return std::nullopt;
  const auto size = cursor.take_run(is_digit);
  if (!size || !cursor.at_end()) return std::nullopt;
  return ReadLine{*id, *offset, *size};
}

std::optional<MmapLine> match_mmap_line(std::string_view line) {
  LineCursor cursor(line);
  if (!take_prefix(cursor, "mmap")) return std::nullopt;
  const auto id = cursor.take_run(is_digit);
  if (!id || !cursor.take("\t")) return std::nullopt;
  const auto path = cursor.take_rest_of_line();
  if (!path) return std::nullopt;
  return MmapLine{*id, *path};
}

std::optional<PathLine> match_path_line(std::string_view line) {
  LineCursor cursor(line);
  const auto id = cursor.take_run(is_digit);
  if (!id || !cursor.take("\t")) return std::nullopt;
  const auto path = cursor.take_rest_of_line();
  if (!path) return std::nullopt;
  return PathLine{*id, *path};
}

std::optional<std::string_view> match_log_prefix(std::string_view file_name, bool kernel) {
  LineCursor cursor(file_name);
  if (!cursor.take(kernel ? "bpf_oplog_" : "oplog_")) return std::nullopt;
  if (!cursor.take_run(is_digit) || !cursor.take("_") || !cursor.take_run(is_digit))
    return std::nullopt;
  constexpr std::string_view suffix = "_files.csv";
  if (!cursor.take(suffix) || !cursor.at_end()) return std::nullopt;
  return file_name.substr(0, file_name.size() - suffix.size());
}

}  // namespace quarnix
