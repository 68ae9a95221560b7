// Program-wide logging: a level, a threshold that splits the output between
// standard output and standard error, one emitter per message form and source
// file, and the DEBUG/INFO/WARNING/ERROR wrappers.
#pragma once

#include <time.h>

#include <boost/format.hpp>
#include <ostream>
#include <string>
#include <string_view>

namespace quarnix {

// Highest level written (0 error, 1 warning, 2 info, 3..5 debug1..debug3).
extern int log_level;
// A written message goes to standard output when its level is above this.
extern int log_stdout_threshold;

inline bool log_enabled(int level) {
  return level <= log_level;
}

// Sets log_level from a level name; an unknown name falls back to info.
void parse_log_level(const std::string& name);

// Writes one whole line (text and end of line) to a standard stream under the
// lock that every log line takes, so that lines of different threads never
// interleave, also when the streams are no longer synchronised with stdio.
void write_line(std::ostream& out, std::string_view text);
// The same for a text that brings its own line ends.
void write_text(std::ostream& out, std::string_view text);

namespace detail {
void emit_line(int level, timespec& start, const std::string& prefix, std::string_view message);
}

// The emitters live in an unnamed namespace: every source file that includes
// this header has its own instance per message form, and so its own start time.
namespace {

inline void log_message(int level, const char* message, const std::string& prefix) {
  static timespec start{};
  if (log_enabled(level)) detail::emit_line(level, start, prefix, message);
}

inline void log_message(int level, const std::string& message, const std::string& prefix) {
  static timespec start{};
  if (log_enabled(level)) detail::emit_line(level, start, prefix, message);
}

inline void log_message(int level, const boost::format& message, const std::string& prefix) {
  static timespec start{};
  if (log_enabled(level)) detail::emit_line(level, start, prefix, message.str());
}

// Debug message n is written at level n + 2; its prefix shows n.
template <typename Message>
void log_debug(int n, Message message) {
  log_message(n + 2, message, (boost::format("DEBUG(%d): ") % n).str());
}

template <typename Message>
void log_info(Message message) {
  log_message(2, message, "INFO: ");
}

template <typename Message>
void log_warning(Message message) {
  log_message(1, message, "WARNING: ");
}

template <typename Message>
void log_error(Message message) {
  log_message(0, message, "ERROR: ");
}

}  // namespace
}  // namespace quarnix
