// Program-wide logging: a level, a threshold that splits the output between
// standard output and standard error, one emitter per message form and source
// file, and the DEBUG/INFO/WARNING/ERROR wrappers.
#pragma once

#include <time.h>

#include <boost/format.hpp>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>

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

// The forms of a debug line; each line keeps the one its readers know.
enum class DebugStyle {
  // Through the emitter: above level 2 a timestamp, then "DEBUG(n): " for a
  // line of level n + 2, on the stream the threshold picks.
  tagged,
  // Straight to standard error as it is: no timestamp, no prefix.
  plain,
  // To standard error after the program's name and ": ", as err.h's warnx.
  program_named,
};

namespace detail {
void emit_line(int level, timespec& start, const std::string& prefix, std::string_view message);
void write_untagged_debug_line(DebugStyle style, std::string_view text);
inline std::string_view message_text(std::string_view message) {
  return message;
}
inline std::string message_text(const boost::format& message) {
  return message.str();
}
}  // namespace detail

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

template <typename Message>
void write_debug_line(int level, DebugStyle style, const Message& message) {
  if (style == DebugStyle::tagged)
    log_debug(level - 2, message);
  else
    detail::write_untagged_debug_line(style, detail::message_text(message));
}

// The one way to write a debug line of level `level` (3 to 5 are debug1 to
// debug3; 2 writes a tagged line at the info level). `message` is a text,
// string or format, or a callable that returns one: it is called, and so the
// text built, only when the level is enabled.
template <typename Message>
void debug_line(int level, DebugStyle style, Message&& message) {
  if (!log_enabled(level)) return;
  if constexpr (std::is_invocable_v<Message&>)
    write_debug_line(level, style, message());
  else
    write_debug_line(level, style, message);
}

}  // namespace
}  // namespace quarnix
