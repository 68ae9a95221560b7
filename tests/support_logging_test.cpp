#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <thread>
#include <vector>

#include "support/logging.hpp"
#include "tests/stream_capture.hpp"

namespace quarnix::testing {

void log_info_from_second_file(const char* message);

namespace {

// Restores the two program-wide integers after each test.
class Logging : public ::testing::Test {
 protected:
  void TearDown() override {
    log_level = 2;
    log_stdout_threshold = 1;
  }
};

TEST_F(Logging, StreamChoiceFollowsLevelAndThreshold) {
  {
    StreamCapture capture;
    log_level = 2;
    log_info("to stdout");
    log_warning("to stderr");
    log_error(std::string("error text"));
    log_debug(0, "debug zero");
    log_debug(1, "not written");
    EXPECT_EQ(capture.out(), "INFO: to stdout\nDEBUG(0): debug zero\n");
    EXPECT_EQ(capture.err(), "WARNING: to stderr\nERROR: error text\n");
  }
  {
    StreamCapture capture;
    log_level = 0;
    log_warning("hidden");
    log_info("hidden");
    log_error(boost::format("shown %d") % 7);
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "ERROR: shown 7\n");
  }
  {
    // With the request channel on standard output, nothing logged may reach it.
    StreamCapture capture;
    log_level = 2;
    log_stdout_threshold = 5;
    log_info("info");
    log_debug(0, "debug");
    EXPECT_EQ(capture.out(), "");
    EXPECT_EQ(capture.err(), "INFO: info\nDEBUG(0): debug\n");
  }
}

// Every emitter instance (message form and source file) counts from its own first line.
TEST_F(Logging, TimestampsPerEmitterInstance) {
  StreamCapture capture;
  log_level = 3;
  const std::string zero = "[00000.000000] ";
  log_info("first text line");
  usleep(30000);
  log_info("second text line");
  log_error(std::string("first string line"));
  log_warning(boost::format("first format line %s") % "x");
  log_info_from_second_file("first line of the other file");
  log_debug(1, "debug at level three");
  log_debug(2, "debug at level four");

  const std::string out = capture.out();
  const std::string err = capture.err();
  EXPECT_EQ(out.find(zero + "INFO: first text line\n"), 0u) << out;
  std::smatch match;
  ASSERT_TRUE(
      std::regex_search(out, match, std::regex(R"(\[(\d{5}\.\d{6})\] INFO: second text line\n)")))
      << out;
  const double elapsed = std::stod(match[1]);
  EXPECT_GE(elapsed, 0.03);
  EXPECT_LT(elapsed, 10.0);
  EXPECT_NE(err.find(zero + "ERROR: first string line\n"), std::string::npos) << err;
  EXPECT_NE(err.find(zero + "WARNING: first format line x\n"), std::string::npos) << err;
  EXPECT_NE(out.find(zero + "INFO: first line of the other file\n"), std::string::npos) << out;
  EXPECT_TRUE(
      std::regex_search(out, std::regex(R"(\[\d{5}\.\d{6}\] DEBUG\(1\): debug at level three\n)")))
      << out;
  EXPECT_EQ(out.find("debug at level four"), std::string::npos);
}

// Each debug line keeps its form: tagged through the emitter, plain on
// standard error, or after the program's name; its text is built only when
// its level is enabled.
TEST_F(Logging, DebugLinesKeepTheirFormAndAreBuiltOnlyWhenEnabled) {
  StreamCapture capture;
  log_level = 4;
  int built = 0;
  auto text = [&] {
    ++built;
    return std::string("built");
  };
  debug_line(4, DebugStyle::plain, "DEBUG: plain");
  debug_line(3, DebugStyle::program_named, text);
  debug_line(5, DebugStyle::plain, text);
  debug_line(5, DebugStyle::tagged, text);
  log_level = 2;
  debug_line(2, DebugStyle::tagged, [] { return boost::format("tagged %d") % 0; });
  debug_line(3, DebugStyle::tagged, text);
  EXPECT_EQ(built, 1);
  EXPECT_EQ(capture.err(),
            "DEBUG: plain\n" + std::string(program_invocation_short_name) + ": built\n");
  EXPECT_EQ(capture.out(), "DEBUG(0): tagged 0\n");
}

TEST_F(Logging, ParseLogLevel) {
  StreamCapture capture;
  const std::vector<std::pair<std::string, int>> names = {
      {"error", 0}, {"warn", 1},   {"warning", 1}, {"info", 2},
      {"debug", 3}, {"debug1", 3}, {"debug2", 4},  {"debug3", 5}};
  for (const auto& [name, level] : names) {
    log_level = -1;
    parse_log_level(name);
    EXPECT_EQ(log_level, level) << name;
  }
  EXPECT_EQ(capture.err(), "");

  log_level = 5;
  parse_log_level("Info");
  EXPECT_EQ(log_level, 2);
  parse_log_level("");
  EXPECT_EQ(log_level, 2);
  EXPECT_EQ(capture.err(),
            "ERROR: Unknown log level: Info, using 'info' instead.\n"
            "ERROR: Unknown log level: , using 'info' instead.\n");
}

TEST_F(Logging, LinesOfConcurrentThreadsStayWhole) {
  std::ios_base::sync_with_stdio(false);
  StreamCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i)
        log_info(boost::format("thread %d line %d") % t % i);
    });
  for (auto& thread : threads)
    thread.join();
  std::istringstream lines(capture.out());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(INFO: thread \d line \d+)"))) << line;
    ++count;
  }
  EXPECT_EQ(count, 8 * 200);
}

}  // namespace
}  // namespace quarnix::testing
