// The exceptions of every program, the errno text and the terminate handler
// that reports an uncaught exception with its backtrace.
#pragma once

#include <boost/format.hpp>
#include <exception>
#include <string>

namespace quarnix {

// Failure of a program: a message, optionally with ": " and the errno text,
// and the backtrace of the place where it was created.
class RuntimeError : public std::exception {
 public:
  explicit RuntimeError(const std::string& message);
  explicit RuntimeError(const boost::format& message);
  RuntimeError(const std::string& message, int error_number);
  RuntimeError(const boost::format& message, int error_number);
  ~RuntimeError() override = default;

  const char* what() const noexcept override { return message.c_str(); }
  virtual const char* backtrace() const noexcept { return backtrace_text.c_str(); }

 private:
  void capture_backtrace();

  std::string message;
  std::string backtrace_text;
};

// Ends the candidate search: no candidate is left. Captures nothing.
class iterator_end : public std::exception {};

// The system's text for an error number.
std::string errno_string(int error_number);

[[noreturn]] void terminate_handler();
void install_terminate_handler();

}  // namespace quarnix
