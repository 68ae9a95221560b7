// The tracing programs' shared parts: read-trace lines, the mountpoint check
// and scan, and the start of quarnix_probe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "tests/fixtures/pattern_lines.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tracesession/exec_tracer.hpp"
#include "tracesession/mountpoint.hpp"
#include "tracesession/read_trace.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

TEST(ReadTrace, LinesAreClassified) {
  struct Case {
    std::string line;
    bool noise;
    std::optional<TraceRead> read;
    std::optional<TraceMapping> mapping;
  };
  const uint64_t max = UINT64_MAX;
  const Case cases[] = {
      {"Attaching 5 probes...", true, {}, {}},
      {"[12] Tracing started.", true, {}, {}},
      {"[13] put_super() -- terminating...", true, {}, {}},
      {"", true, {}, {}},
      {" \t ", true, {}, {}},
      {"[5] file_read_iter(ino=7, off=4096, len=8192) -> 100",
       false,
       TraceRead{5, 7, 4096, 100},
       {}},
      {"[5] file_read_iter(ino=7, off=0, len=1) -> 0", false, TraceRead{5, 7, 0, 0}, {}},
      {"[18446744073709551615] file_read_iter(ino=18446744073709551615, off=18446744073709551615, "
       "len=1) -> 9223372036854775807",
       false,
       TraceRead{max, max, max, INT64_MAX},
       {}},
      // A failed read carries no data; numbers beyond 64 bits make a line unparsable.
      {"[5] file_read_iter(ino=7, off=0, len=1) -> -5", false, {}, {}},
      {"[18446744073709551616] file_read_iter(ino=7, off=0, len=1) -> 1", false, {}, {}},
      {"[5] file_read_iter(ino=18446744073709551616, off=0, len=1) -> 1", false, {}, {}},
      {"[5] file_read_iter(ino=7, off=18446744073709551616, len=1) -> 1", false, {}, {}},
      {"[5] file_read_iter(ino=7, off=0, len=1) -> 9223372036854775808", false, {}, {}},
      {"[9] file_mmap(ino=3)", false, {}, TraceMapping{9, 3}},
      {"[9] file_mmap(ino=18446744073709551616)", false, {}, {}},
      {"garbage", false, {}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(is_trace_noise(c.line), c.noise);
    const auto read = parse_trace_read(c.line);
    ASSERT_EQ(read.has_value(), c.read.has_value());
    if (read) {
      EXPECT_EQ(read->time_ns, c.read->time_ns);
      EXPECT_EQ(read->inode, c.read->inode);
      EXPECT_EQ(read->offset, c.read->offset);
      EXPECT_EQ(read->result, c.read->result);
    }
    const auto mapping = parse_trace_mapping(c.line);
    ASSERT_EQ(mapping.has_value(), c.mapping.has_value());
    if (mapping) {
      EXPECT_EQ(mapping->time_ns, c.mapping->time_ns);
      EXPECT_EQ(mapping->inode, c.mapping->inode);
    }
  }
  EXPECT_TRUE(is_tracing_started("[12] Tracing started.\n"));
  EXPECT_FALSE(is_tracing_started("[12] Tracing sta"));
}

// clang-format off
const std::vector<std::string> trace_pieces = {
    "[", "]", "] ", " ", "5", "0", "7", "42", "00", "123", "18446744073709551616",
    "9223372036854775808", "-", "(", ")", ") -> ", ", off=", ", len=", "ino=",
    "file_read_iter(ino=", "file_mmap(ino=", "Attaching ", " probes", "put_super()",
    "put_super(", "Tracing started", "\t", "\n", "\r", "\v", "\f", "x", "\xa0", "\x85",
    std::string(1, '\0')};
// clang-format on

const std::vector<std::string> trace_line_starts = {"[5] file_read_iter(ino=7, off=0, len=1) -> ",
                                                    "[5] file_read_iter(ino=7, off=",
                                                    "[5] file_mmap(ino=3",
                                                    "[5] file_mmap(ino=",
                                                    "[5] ",
                                                    "Attaching ",
                                                    " ",
                                                    ""};

std::vector<std::string> trace_lines() {
  std::vector<std::string> lines = random_lines(trace_pieces, 20000);
  const std::vector<std::string> tails = random_lines(trace_pieces, 20000, 7);
  for (std::size_t i = 0; i < tails.size(); ++i)
    lines.push_back(trace_line_starts[i % trace_line_starts.size()] + tails[i]);
  return lines;
}

template <typename Number>
std::optional<Number> number(const std::string& digits) {
  Number value{};
  const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || stop != digits.data() + digits.size()) return std::nullopt;
  return value;
}

using ReadValues = std::optional<std::tuple<uint64_t, uint64_t, uint64_t, int64_t>>;

ReadValues values(const std::optional<TraceRead>& read) {
  if (!read) return std::nullopt;
  return std::tuple(read->time_ns, read->inode, read->offset, read->result);
}

// The read that the pattern's groups give, when all its numbers fit.
ReadValues values(const Groups& groups) {
  if (!groups) return std::nullopt;
  const auto time = number<uint64_t>(groups->at(0)), inode = number<uint64_t>(groups->at(1)),
             offset = number<uint64_t>(groups->at(2));
  const auto result = number<int64_t>(groups->at(3));
  if (!time || !inode || !offset || !result) return std::nullopt;
  return std::tuple(*time, *inode, *offset, *result);
}

using MappingValues = std::optional<std::pair<uint64_t, uint64_t>>;

MappingValues values(const std::optional<TraceMapping>& mapping) {
  if (!mapping) return std::nullopt;
  return std::pair(mapping->time_ns, mapping->inode);
}

MappingValues mapping_values(const Groups& groups) {
  if (!groups) return std::nullopt;
  const auto time = number<uint64_t>(groups->at(0)), inode = number<uint64_t>(groups->at(1));
  if (!time || !inode) return std::nullopt;
  return std::pair(*time, *inode);
}

TEST(ReadTrace, LinesAreTakenAsTheirPatternsTakeThem) {
  const std::regex noise(
      R"(^(Attaching \d+ probes|\[\d+\] put_super\(\)|\[\d+\] Tracing started|\s*$))");
  const std::regex read(R"(^\[(\d+)\] file_read_iter\(ino=(\d+), off=(\d+), len=\d+\) -> (\d+))");
  const std::regex mapping(R"(^\[(\d+)\] file_mmap\(ino=(\d+)\))");
  int noise_lines = 0, read_lines = 0, mapping_lines = 0;
  for (const std::string& line : trace_lines()) {
    SCOPED_TRACE(::testing::PrintToString(line));
    const bool is_noise = std::regex_search(line, noise);
    EXPECT_EQ(is_trace_noise(line), is_noise);
    const Groups read_groups = search_groups(line, read);
    EXPECT_EQ(is_trace_read(line), read_groups.has_value());
    EXPECT_EQ(values(parse_trace_read(line)), values(read_groups));
    const Groups mapping_groups = search_groups(line, mapping);
    EXPECT_EQ(values(parse_trace_mapping(line)), mapping_values(mapping_groups));
    noise_lines += is_noise ? 1 : 0;
    read_lines += values(read_groups) ? 1 : 0;
    mapping_lines += mapping_values(mapping_groups) ? 1 : 0;
  }
  // The comparison means little unless every kind of line occurs often.
  EXPECT_GT(noise_lines, 100);
  EXPECT_GT(read_lines, 100);
  EXPECT_GT(mapping_lines, 100);
}

TEST(ReadTrace, LongLinesNeedNoDeepStack) {
  const std::string spaces(1 << 20, ' ');
  const std::string digits(1 << 20, '7');
  EXPECT_TRUE(is_trace_noise(spaces));
  EXPECT_FALSE(is_trace_noise(spaces + "x"));
  EXPECT_TRUE(is_trace_noise("[" + digits + "] put_super() -- terminating..."));
  const std::string long_read = "[" + digits + "] file_read_iter(ino=1, off=0, len=1) -> 1";
  EXPECT_TRUE(is_trace_read(long_read));
  EXPECT_FALSE(parse_trace_read(long_read));
  EXPECT_TRUE(parse_trace_read("[1] file_read_iter(ino=1, off=0, len=" + digits + ") -> 1"));
  EXPECT_TRUE(parse_trace_read("[1] file_read_iter(ino=1, off=0, len=1) -> 1" + spaces));
  EXPECT_FALSE(parse_trace_mapping("[1] file_mmap(ino=" + digits));
}

ino_t inode_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0);
  return status.st_ino;
}

TEST(ScanMountpoint, MapsEveryRegularFileOnce) {
  TempDir tree;
  fs::create_directories(tree / "dir/empty");
  write_file(tree / "a", "a");
  write_file(tree / "dir/b", "b");
  fs::create_hard_link(tree / "a", tree / "dir/a_link");
  fs::create_symlink("a", tree / "link");
  ASSERT_EQ(mkfifo((tree / "fifo").c_str(), 0600), 0);

  const ino2path_t map = scan_mountpoint(tree.path().string() + "/");
  ASSERT_EQ(map.size(), 2u);
  EXPECT_EQ(map.at(inode_of(tree / "dir/b")), "dir/b");
  const std::string& linked = map.at(inode_of(tree / "a"));
  EXPECT_TRUE(linked == "a" || linked == "dir/a_link") << linked;

  EXPECT_TRUE(scan_mountpoint((tree / "dir/empty/").string()).empty());
}

TEST(CheckMountpoint, RefusesWhatIsNotAMountpoint) {
  TempDir directory;
  fs::create_symlink("/proc", directory / "link");
  const std::string plain = directory.path().string();
  EXPECT_EXIT(check_mountpoint(plain), ::testing::ExitedWithCode(2),
              "^ERROR: " + plain + " is not a mountpoint\n$");
  EXPECT_EXIT(check_mountpoint(plain + "/link"), ::testing::ExitedWithCode(2),
              "^ERROR: " + plain + "/link is not a directory\n$");
  EXPECT_EXIT(check_mountpoint(plain + "/missing"), ::testing::ExitedWithCode(2),
              "^ERROR: Unable to access " + plain + "/missing: No such file or directory\n$");

  struct stat proc {};
  ASSERT_EQ(lstat("/proc", &proc), 0);
  EXPECT_EQ(check_mountpoint("/proc/"), proc.st_dev);
}

// Runs exec_tracer in a child whose PATH and working directory are given, with
// fake probes that say where they lie; what they printed, and the exit status.
struct ExecTracerGround {
  ExecTracerGround() {
    for (const char* place : {"beside", "path", "cwd", "empty"})
      fs::create_directory(root / place);
    for (const char* place : {"beside", "path", "cwd"}) {
      write_file(root / place / "quarnix_probe",
                 std::string("#!/bin/sh\necho ") + place + " \"$@\"\n");
      fs::permissions(root / place / "quarnix_probe", fs::perms::owner_all);
    }
  }

  void run(const std::string& argv0, const char* path, bool output_on_stdout, int status,
           const std::string& error) {
    const std::string output = (root / "output").string();
    const auto body = [&] {
      setenv("PATH", (root / path).c_str(), 1);
      if (chdir((root / "cwd").c_str()) != 0) _exit(100);
      int fd = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (output_on_stdout) fd = dup2(fd, 1);
      exec_tracer(argv0.c_str(), fd, 42, 77);
    };
    EXPECT_EXIT(body(), ::testing::ExitedWithCode(status), error);
  }

  TempDir root;
};

TEST(ExecTracer, RunsTheProbeBesideTheProgramOrInPath) {
  ExecTracerGround ground;
  const std::string beside = (ground.root / "beside/program").string();
  const std::string elsewhere = (ground.root / "empty/program").string();
  struct Case {
    std::string argv0;
    const char* path;
    bool output_on_stdout;
    std::string printed;
  };
  const Case cases[] = {
      {beside, "path", false, "beside --exclude-pid 77 42\n"},
      {beside, "path", true, "beside --exclude-pid 77 42\n"},
      {elsewhere, "path", false, "path --exclude-pid 77 42\n"},
      // Found through PATH: the working directory's probe is not taken.
      {"program", "path", false, "path --exclude-pid 77 42\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argv0 + (c.output_on_stdout ? " on stdout" : ""));
    ground.run(c.argv0, c.path, c.output_on_stdout, 0, "");
    EXPECT_EQ(read_file(ground.root / "output"), c.printed);
  }
  ground.run("program", "empty", false, 7,
             "^ERROR: Failed to execute `quarnix_probe` helper: No such file or directory\n$");
  EXPECT_EQ(read_file(ground.root / "output"), "");
}

}  // namespace
}  // namespace quarnix::testing
