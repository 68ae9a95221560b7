// The lines of the read trace that quarnix_probe prints, as the tracing
// programs read them.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quarnix {

// A read that returned data or end of file (a failed read is no such line).
struct TraceRead {
  uint64_t time_ns;
  uint64_t inode;
  uint64_t offset;
  int64_t result;  // bytes read, 0 at end of file
};

struct TraceMapping {
  uint64_t time_ns;
  uint64_t inode;
};

// The handshake: tracing runs once a line holding this has arrived.
bool is_tracing_started(std::string_view line);

// Lines that carry no event: the tracer's banner, the start and end lines and
// blank lines.
bool is_trace_noise(std::string_view line);

// A line that begins with a read event, whether or not its numbers fit.
bool is_trace_read(std::string_view line);

// A line that begins with a read or a mapping event. A number that does not fit
// its 64-bit field makes the line unparsable (empty result). Lines of any
// length are safe.
std::optional<TraceRead> parse_trace_read(std::string_view line);
std::optional<TraceMapping> parse_trace_mapping(std::string_view line);

}  // namespace quarnix
