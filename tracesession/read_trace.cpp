#include "tracesession/read_trace.hpp"

#include <charconv>
#include <memory>
#include <regex>

namespace quarnix {

namespace {

template <typename Number>
std::optional<Number> to_number(const std::ssub_match& digits) {
  Number value{};
  const char* const end = std::to_address(digits.second);
  const auto [stop, error] = std::from_chars(std::to_address(digits.first), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

const std::regex& trace_read_pattern() {
  static const std::regex read(
      R"(^\[(\d+)\] file_read_iter\(ino=(\d+), off=(\d+), len=\d+\) -> (\d+))");
  return read;
}

}  // namespace

bool is_tracing_started(std::string_view line) {
  return line.find("Tracing started.") != std::string_view::npos;
}

bool is_trace_noise(const std::string& line) {
  static const std::regex noise(
      R"(^(Attaching \d+ probes|\[\d+\] put_super\(\)|\[\d+\] Tracing started|\s*$))");
  return std::regex_search(line, noise);
}

bool is_trace_read(const std::string& line) {
  return std::regex_search(line, trace_read_pattern());
}

std::optional<TraceRead> parse_trace_read(const std::string& line) {
  std::smatch match;
  if (!std::regex_search(line, match, trace_read_pattern())) return std::nullopt;
  const auto time_ns = to_number<uint64_t>(match[1]);
  const auto inode = to_number<uint64_t>(match[2]);
  const auto offset = to_number<uint64_t>(match[3]);
  const auto result = to_number<int64_t>(match[4]);
  if (!time_ns || !inode || !offset || !result) return std::nullopt;
  return TraceRead{*time_ns, *inode, *offset, *result};
}

std::optional<TraceMapping> parse_trace_mapping(const std::string& line) {
  static const std::regex mapping(R"(^\[(\d+)\] file_mmap\(ino=(\d+)\))");
  std::smatch match;
  if (!std::regex_search(line, match, mapping)) return std::nullopt;
  const auto time_ns = to_number<uint64_t>(match[1]);
  const auto inode = to_number<uint64_t>(match[2]);
  if (!time_ns || !inode) return std::nullopt;
  return TraceMapping{*time_ns, *inode};
}

}  // namespace quarnix
