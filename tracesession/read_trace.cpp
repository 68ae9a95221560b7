#include "tracesession/read_trace.hpp"

#include <algorithm>
#include <charconv>

#include "support/line_cursor.hpp"

namespace quarnix {

// The lines are matched by hand, as the patterns
//   noise: "^(Attaching \d+ probes|\[\d+\] put_super\(\)|\[\d+\] Tracing started|\s*$)"
//   read:  "^\[(\d+)\] file_read_iter\(ino=(\d+), off=(\d+), len=\d+\) -> (\d+)"
//   mmap:  "^\[(\d+)\] file_mmap\(ino=(\d+)\)"
// would match them with std::regex_search: a raw trace can hold a line of any
// length, and std::regex would overflow the stack on a long one. Each \d+ is
// followed by a character that is no digit, or ends the pattern, so the
// greedy run is taken whole; with no $ (but in \s*$) a match may leave any
// tail.

namespace {

template <typename Number>
std::optional<Number> to_number(std::string_view digits) {
  Number value{};
  const char* const end = digits.data() + digits.size();
  const auto [stop, error] = std::from_chars(digits.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// "\[(\d+)\] ", the start of an event line: its time.
std::optional<std::string_view> take_event_time(LineCursor& cursor) {
  if (!cursor.take("[")) return std::nullopt;
  const auto time = cursor.take_run(is_ascii_digit);
  if (!time || !cursor.take("] ")) return std::nullopt;
  return time;
}

bool starts_event(std::string_view line, std::string_view event) {
  LineCursor cursor(line);
  return take_event_time(cursor) && cursor.take(event);
}

bool starts_attaching_line(std::string_view line) {
  LineCursor cursor(line);
  return cursor.take("Attaching ") && cursor.take_run(is_ascii_digit) && cursor.take(" probes");
}

struct ReadFields {
  std::string_view time_ns;
  std::string_view inode;
  std::string_view offset;
  std::string_view result;
};

std::optional<ReadFields> match_read(std::string_view line) {
  LineCursor cursor(line);
  const auto time_ns = take_event_time(cursor);
  if (!time_ns || !cursor.take("file_read_iter(ino=")) return std::nullopt;
  const auto inode = cursor.take_run(is_ascii_digit);
  if (!inode || !cursor.take(", off=")) return std::nullopt;
  const auto offset = cursor.take_run(is_ascii_digit);
  if (!offset || !cursor.take(", len=") || !cursor.take_run(is_ascii_digit) ||
      !cursor.take(") -> "))
    return std::nullopt;
  const auto result = cursor.take_run(is_ascii_digit);
  if (!result) return std::nullopt;
  return ReadFields{*time_ns, *inode, *offset, *result};
}

}  // namespace

bool is_tracing_started(std::string_view line) {
  return line.find("Tracing started.") != std::string_view::npos;
}

bool is_trace_noise(std::string_view line) {
  return starts_attaching_line(line) || starts_event(line, "put_super()") ||
         starts_event(line, "Tracing started") ||
         std::all_of(line.begin(), line.end(), is_ascii_space);
}

bool is_trace_read(std::string_view line) {
  return match_read(line).has_value();
}

std::optional<TraceRead> parse_trace_read(std::string_view line) {
  const auto fields = match_read(line);
  if (!fields) return std::nullopt;
  const auto time_ns = to_number<uint64_t>(fields->time_ns);
  const auto inode = to_number<uint64_t>(fields->inode);
  const auto offset = to_number<uint64_t>(fields->offset);
  const auto result = to_number<int64_t>(fields->result);
  if (!time_ns || !inode || !offset || !result) return std::nullopt;
  return TraceRead{*time_ns, *inode, *offset, *result};
}

std::optional<TraceMapping> parse_trace_mapping(std::string_view line) {
  LineCursor cursor(line);
  const auto time_ns = take_event_time(cursor);
  if (!time_ns || !cursor.take("file_mmap(ino=")) return std::nullopt;
  const auto inode_digits = cursor.take_run(is_ascii_digit);
  if (!inode_digits || !cursor.take(")")) return std::nullopt;
  const auto time = to_number<uint64_t>(*time_ns);
  const auto inode = to_number<uint64_t>(*inode_digits);
  if (!time || !inode) return std::nullopt;
  return TraceMapping{*time, *inode};
}

}  // namespace quarnix
