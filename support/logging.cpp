#include "support/logging.hpp"

#include <errno.h>

#include <iostream>
#include <map>
#include <mutex>

namespace quarnix {

int log_level = 2;
int log_stdout_threshold = 1;

namespace {

std::mutex& line_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Seconds since `start`; the first call of an emitter instance sets it.
double seconds_since(timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (start.tv_sec == 0) start = now;
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

}  // namespace

void write_line(std::ostream& out, std::string_view text) {
  std::lock_guard lock(line_mutex());
  out << text << std::endl;
}

void write_text(std::ostream& out, std::string_view text) {
  std::lock_guard lock(line_mutex());
  out << text << std::flush;
}

namespace detail {

void write_untagged_debug_line(DebugStyle style, std::string_view text) {
  if (style == DebugStyle::program_named)
    write_line(std::cerr, std::string(program_invocation_short_name) + ": " + std::string(text));
  else
    write_line(std::cerr, text);
}

void emit_line(int level, timespec& start, const std::string& prefix, std::string_view message) {
  std::ostream& out = level > log_stdout_threshold ? std::cout : std::cerr;
  // The lock also serialises the first-line setting of `start`.
  std::lock_guard lock(line_mutex());
  if (log_level > 2) out << boost::format("[%012.6f] ") % seconds_since(start);
  out << prefix << message << std::endl;
}

}  // namespace detail

void parse_log_level(const std::string& name) {
  static const std::map<std::string, int> levels = {
      {"error", 0}, {"warn", 1},   {"warning", 1}, {"info", 2},
      {"debug", 3}, {"debug1", 3}, {"debug2", 4},  {"debug3", 5},
  };
  if (auto level = levels.find(name); level != levels.end()) {
    log_level = level->second;
    return;
  }
  std::cerr << "ERROR: Unknown log level: " << name << ", using 'info' instead.\n";
  log_level = 2;
}

}  // namespace quarnix
