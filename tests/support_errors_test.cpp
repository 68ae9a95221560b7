#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>

#include "support/errors.hpp"

namespace quarnix::testing {
namespace {

int count_lines(const std::string& text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

RuntimeError error_from_depth(int depth) {
  if (depth == 0) return RuntimeError("deep");
  return error_from_depth(depth - 1);
}

TEST(RuntimeErrorTest, MessagesWithAndWithoutErrno) {
  EXPECT_EQ(std::string(RuntimeError("sigaction", EINVAL).what()),
            std::string("sigaction: ") + strerror(EINVAL));
  EXPECT_EQ(std::string(RuntimeError(boost::format("Unable to open %s.csv") % "oplog_x").what()),
            "Unable to open oplog_x.csv");
  EXPECT_EQ(std::string(RuntimeError(boost::format("dup(%d)") % 3, EBADF).what()),
            std::string("dup(3): ") + strerror(EBADF));
  EXPECT_EQ(errno_string(ENOENT), strerror(ENOENT));
  EXPECT_EQ(errno_string(123456), "Unknown error 123456");
}

TEST(RuntimeErrorTest, BacktraceHasAtMostFortyFrames) {
  const RuntimeError shallow("shallow");
  const std::string text = shallow.backtrace();
  EXPECT_GT(count_lines(text), 0);
  EXPECT_EQ(text.rfind("   ", 0), 0u) << text;

  const RuntimeError deep = error_from_depth(60);
  EXPECT_EQ(count_lines(deep.backtrace()), 40);

  // Copies carry the backtrace of the original.
  const RuntimeError copy = deep;
  EXPECT_STREQ(copy.backtrace(), deep.backtrace());
}

TEST(RuntimeErrorTest, IteratorEndHasTheStandardText) {
  EXPECT_STREQ(iterator_end().what(), std::exception().what());
}

void throw_runtime_error() {
  throw RuntimeError("Unable to resolve /missing", ENOENT);
}
void throw_out_of_range() {
  throw std::out_of_range("index 7");
}

// An exception leaving a noexcept function ends in std::terminate with the
// exception still current, as one leaving main or a thread does.
void call_without_catching(void (*thrower)()) noexcept {
  thrower();
}

using TerminateHandlerDeathTest = ::testing::Test;

TEST_F(TerminateHandlerDeathTest, ReportsRuntimeErrorWithBacktrace) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::string expected = std::string("^INTERNAL ERROR: Unable to resolve /missing: ") +
                               strerror(ENOENT) +
                               "\nBacktrace \\(decode with devtools/decode_backtrace\\):\n"
                               "(   [^\n]*\n)+\n$";
  EXPECT_DEATH(
      {
        install_terminate_handler();
        call_without_catching(throw_runtime_error);
      },
      expected);
}

TEST_F(TerminateHandlerDeathTest, ReportsOtherExceptionsWithDiagnostics) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        install_terminate_handler();
        call_without_catching(throw_out_of_range);
      },
      "^INTERNAL ERROR:\nDynamic exception type: std::out_of_range\n"
      "std::exception::what: index 7\n\n$");
}

TEST_F(TerminateHandlerDeathTest, WithoutExceptionAbortsSilently) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        install_terminate_handler();
        std::terminate();
      },
      ::testing::KilledBySignal(SIGABRT), "^$");
}

}  // namespace
}  // namespace quarnix::testing
