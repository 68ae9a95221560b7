// Redirects std::cout and std::cerr into strings for the lifetime of the object.
#pragma once

#include <iostream>
#include <sstream>
#include <string>

namespace quarnix::testing {

class StreamCapture {
 public:
  StreamCapture()
      : saved_out(std::cout.rdbuf(captured_out.rdbuf())),
        saved_err(std::cerr.rdbuf(captured_err.rdbuf())) {}
  ~StreamCapture() {
    std::cout.rdbuf(saved_out);
    std::cerr.rdbuf(saved_err);
  }
  StreamCapture(const StreamCapture&) = delete;
  StreamCapture& operator=(const StreamCapture&) = delete;

  std::string out() const { return captured_out.str(); }
  std::string err() const { return captured_err.str(); }

 private:
  std::ostringstream captured_out;
  std::ostringstream captured_err;
  std::streambuf* saved_out;
  std::streambuf* saved_err;
};

}  // namespace quarnix::testing
