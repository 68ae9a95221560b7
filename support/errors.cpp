#include "support/errors.hpp"

#include <execinfo.h>
#include <string.h>

#include <boost/exception/diagnostic_information.hpp>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>

namespace quarnix {

namespace {

constexpr int max_backtrace_frames = 40;

std::string with_errno(const std::string& message, int error_number) {
  return message + ": " + errno_string(error_number);
}

}  // namespace

RuntimeError::RuntimeError(const std::string& message) : message(message) {
  capture_backtrace();
}

RuntimeError::RuntimeError(const boost::format& message) : message(message.str()) {
  capture_backtrace();
}

RuntimeError::RuntimeError(const std::string& message, int error_number)
    : message(with_errno(message, error_number)) {
  capture_backtrace();
}

RuntimeError::RuntimeError(const boost::format& message, int error_number)
    : message(with_errno(message.str(), error_number)) {
  capture_backtrace();
}

void RuntimeError::capture_backtrace() {
  void* addresses[max_backtrace_frames];
  const int count = ::backtrace(addresses, max_backtrace_frames);
  std::unique_ptr<char*, decltype(&std::free)> symbols(::backtrace_symbols(addresses, count),
                                                       &std::free);
  std::ostringstream text;
  for (int i = 0; i < count; ++i) {
    // Without symbol texts (no memory for them) the bare addresses still help.
    if (symbols)
      text << "   " << symbols.get()[i] << '\n';
    else
      text << "   " << addresses[i] << '\n';
  }
  backtrace_text = text.str();
}

std::string errno_string(int error_number) {
  char buffer[42];
  return std::string(strerror_r(error_number, buffer, sizeof buffer));
}

void terminate_handler() {
  std::exception_ptr exception = std::current_exception();
  if (!exception) std::abort();
  try {
    std::rethrow_exception(exception);
  } catch (const RuntimeError& error) {
    std::cerr << "INTERNAL ERROR: " << error.what() << std::endl;
    std::cerr << "Backtrace (decode with devtools/decode_backtrace):" << std::endl;
    std::cerr << error.backtrace() << std::endl;
  } catch (...) {
    std::cerr << "INTERNAL ERROR:" << std::endl;
    std::cerr << boost::current_exception_diagnostic_information(true) << std::endl;
  }
  std::abort();
}

void install_terminate_handler() {
  std::set_terminate(terminate_handler);
}

}  // namespace quarnix
