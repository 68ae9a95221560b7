// Reading a text line from left to right, for line matchers written by hand
// in place of std::regex: libstdc++'s std::regex recurses once per character,
// so a long enough line overflows the stack. The character classes are those
// of the patterns in the "C" locale.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quarnix {

// \d and [0-9].
inline bool is_ascii_digit(char c) {
  return c >= '0' && c <= '9';
}

// [[:alpha:]].
inline bool is_ascii_letter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// \s.
inline bool is_ascii_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// What . matches: anything but a line terminator (std::getline leaves no
// '\n' in a line, so a '\r' is what a line can hold that . refuses).
inline bool is_line_character(char c) {
  return c != '\n' && c != '\r';
}

// Every take fails without moving.
class LineCursor {
 public:
  explicit LineCursor(std::string_view line) : rest(line) {}

  // The longest non-empty run of characters that satisfy `accepts`. A
  // pattern's greedy run is exactly this when the pattern's next item cannot
  // match the run's characters, so the run is never given back.
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

}  // namespace quarnix
