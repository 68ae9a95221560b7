// The real quarnix_trainer: command line, outputs, messages and exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profile/profile_file.hpp"
#include "support/unique_fd.hpp"
#include "tests/fixtures/process.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"
#include "tests/fixtures/tmpfs_mount.hpp"
#include "tests/profile_fixtures.hpp"
#include "tests/trainer_fixtures.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

const std::string trainer_binary = QUARNIX_TRAINER_BINARY;
// An uncaught error ends the trainer through the terminate handler's abort.
constexpr int aborted = 128 + SIGABRT;

std::string usage_text() {
  return "Usage: " + trainer_binary + " --help\n       " + trainer_binary +
         " [options] <directory>\n\n";
}

ProgramResult run_trainer(std::vector<std::string> arguments, const fs::path& working_directory) {
  arguments.insert(arguments.begin(), trainer_binary);
  const ProcessOptions options = in_directory(working_directory);
  return run_program(arguments, options);
}

// A test's ground: the log directory and a separate working directory.
struct TrainerGround {
  TrainerGround() {
    fs::create_directory(logs);
    fs::create_directory(work);
  }

  void add_log(const std::string& prefix, const std::string& files, const std::string& reads) {
    write_file(logs / (prefix + "_files.csv"), files);
    write_file(logs / (prefix + ".csv"), reads);
  }

  std::string logs_argument() const { return logs.string(); }
  bool has_outputs() const {
    return fs::exists(work / "prefetch_histogram.txt") || fs::exists(work / "readahead_profile.ba");
  }

  TempDir directory;
  fs::path logs = directory / "logs";
  fs::path work = directory / "work";
};

TEST(TrainerProgram, HelpPrintsUsageAndOptions) {
  TempDir directory;
  const ProgramResult result = run_trainer({"--help"}, directory.path());
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out,
            usage_text() +
                "Options:\n"
                "  --v arg (=2)                          Log level (0: error, 1: warn, 2: info, \n"
                "                                        3+: debug\n"
                "  --trail-len arg (=3)                  Number of trailing reads used to \n"
                "                                        calculate the likelihoods of potential \n"
                "                                        upcoming read requests. Default: 3\n"
                "  --blocksize arg (=131072)             Block size to use.\n"
                "  --kernel                              Process logs from kernel traces.\n"
                "  --output arg (=readahead_profile.ba)  Where to save the generated profile.\n"
                "  --min-p arg (=0.10000000000000001)    Minimum likelihood for a prediction to \n"
                "                                        be included in the output.\n"
                "  --p-threshold arg (=0.90000000000000002)\n"
                "                                        Threshold likelihood for prediction \n"
                "                                        quality calculation.\n"
                "  --help                                Print help\n\n");
  EXPECT_EQ(result.err, "");
}

TEST(TrainerProgram, CommandLineErrorsExitWithUsage) {
  TrainerGround ground;
  const std::string logs = ground.logs_argument();
  struct Case {
    std::vector<std::string> arguments;
    std::string first_line;
  };
  const std::vector<Case> cases = {
      {{}, "Invalid number of arguments"},
      {{logs, logs}, "Invalid number of arguments"},
      {{"--no-such-option", logs}, "unrecognised option '--no-such-option'"},
      {{"--v", "x", logs}, "the argument ('x') for option '--v' is invalid"},
      {{"--blocksize", "0", logs},
       "the argument ('0') for option '--blocksize' must be a positive number of bytes"},
      {{"--trail-len", "0", logs},
       "the argument ('0') for option '--trail-len' must be at least 1"},
      {{"--trail-len", "1025", logs},
       "the argument ('1025') for option '--trail-len' must be at most 1024"},
      // Its window of trail length + 1 blocks would not fit 32 bits.
      {{"--trail-len", "4294967295", logs},
       "the argument ('4294967295') for option '--trail-len' must be at most 1024"},
  };
  for (const auto& test_case : cases) {
    const ProgramResult result = run_trainer(test_case.arguments, ground.work);
    EXPECT_EQ(result.status, 2) << test_case.first_line;
    EXPECT_EQ(result.err, test_case.first_line + "\n" + usage_text());
    EXPECT_EQ(result.out, "");
  }
  EXPECT_FALSE(ground.has_outputs());
}

TEST(TrainerProgram, NoReadsEndWithAHintAndNoOutputs) {
  TrainerGround ground;
  const std::string hint = "WARNING: No log entries found (did you mean to use --kernel?).\n";
  ProgramResult result = run_trainer({ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "INFO: Reading 0 oplog files...\n");
  EXPECT_EQ(result.err, hint);

  // Logs of the other kind are not looked at; logs without reads hold no entries.
  ground.add_log("bpf_oplog_20240101_120000", "7\tfile\n", "0.5\tread\t7\t0\t4096\n");
  ground.add_log("oplog_20240101_120000", "0\tfile\n", "0.5\tgetattr\t0\n");
  result = run_trainer({ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "INFO: Reading 1 oplog files...\n");
  EXPECT_EQ(result.err, hint);

  fs::remove(ground.logs / "bpf_oplog_20240101_120000_files.csv");
  result = run_trainer({"--kernel", ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.out, "INFO: Reading 0 oplog files...\n");
  EXPECT_EQ(result.err, hint);
  EXPECT_FALSE(ground.has_outputs());
}

// Two daemon logs over a.dat, b.dat and c.dat at the default block size and
// trail length. Sequences: (a0,a1,a2,a3) twice, (a1,a2,a3,b0), (a2,a3,b0,a0),
// (a3,b0,a0,a1), (b0,a0,a1,a2) from the first log and (a0,a1,a2,c0) from the
// second, whose window starts empty.
void add_daemon_logs(TrainerGround& ground) {
  ground.add_log("oplog_20240101_120000", "0\ta.dat\n1\tb.dat\n",
                 "0.000000001\tread\t0\t0\t524288\n"
                 "0.000000002\tgetattr\t0\n"
                 "0.000000003\tread\t1\t0\t131072\n"
                 "0.000000004\tread\t0\t0\t524288\n");
  ground.add_log("oplog_20240102_080000", "0\ta.dat\n5\tc.dat\n",
                 "1.5\tread\t0\t0\t393216\n1.6\tread\t5\t0\t1\n");
}

TEST(TrainerProgram, TrainsAProfileFromDaemonLogs) {
  TrainerGround ground;
  add_daemon_logs(ground);
  const ProgramResult result = run_trainer({ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "INFO: Reading 2 oplog files...\n"
            "INFO: Most frequent read block sizes (size vs count):\n"
            "   524288\t2\n   1\t1\n   131072\t1\n   393216\t1\n"
            "INFO: Found 6 distinct sequences.\n"
            "INFO: Aggregating...\n"
            "INFO: Calculated 5 distinct aggregations.\n"
            "INFO: Calculating Markov-chain probabilities...\n"
            "INFO: Calculating prediction quality...\n"
            "INFO: Weighted number of pre-fetches needed to reach p_t = 0.90: 1.429\n"
            "INFO: Creating prediction tree...\n"
            "INFO: Tree size is 16 nodes\n");
  // Context (a0,a1,a2) needs both of its successors to reach 0.9.
  EXPECT_EQ(read_file(ground.work / "prefetch_histogram.txt"),
            "# of prefetches needed for p=0.90\tnumber of block sequences\n1\t4\n2\t1\n");

  const Profile profile = read_profile(ground.work / "readahead_profile.ba");
  EXPECT_EQ(profile.format, 3);
  EXPECT_FALSE(profile.settings.kernel);
  EXPECT_EQ(profile.settings.block_size, 131072u);
  EXPECT_EQ(profile.settings.trail_length, 3u);
  EXPECT_EQ(profile.paths, (ProfilePaths{{hash_path("a.dat"), "a.dat"},
                                         {hash_path("b.dat"), "b.dat"},
                                         {hash_path("c.dat"), "c.dat"}}));
  const auto a = [](std::uint32_t block) { return block_id_t("a.dat", block); };
  const block_id_t b0("b.dat", 0);
  const block_id_t c0("c.dat", 0);
  BlockNode expected;
  expected.name = "(root)";
  add_path(expected, {a(0), a(1), a(2)}).predictions = {{a(3), 2.0 / 3}, {c0, 1.0 / 3}};
  add_path(expected, {a(1), a(2), a(3)}).predictions = {{b0, 1.0}};
  add_path(expected, {a(2), a(3), b0}).predictions = {{a(0), 1.0}};
  add_path(expected, {a(3), b0, a(0)}).predictions = {{a(1), 1.0}};
  add_path(expected, {b0, a(0), a(1)}).predictions = {{a(2), 1.0}};
  EXPECT_EQ(profile.root, expected) << profile.root;
}

TEST(TrainerProgram, OptionsShapeTheRunAndDebugLevelDumpsTheCounts) {
  TrainerGround ground;
  add_daemon_logs(ground);
  const fs::path output = ground.directory / "elsewhere.ba";
  const ProgramResult result = run_trainer({"--v", "3", "--min-p", "0.5", "--p-threshold", "0.6",
                                            "--output", output.string(), ground.logs_argument()},
                                           ground.work);
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string a012 = std::to_string(block_id_t("a.dat", 0).value) + " -> " +
                           std::to_string(block_id_t("a.dat", 1).value) + " -> " +
                           std::to_string(block_id_t("a.dat", 2).value);
  const std::string a3 = std::to_string(block_id_t("a.dat", 3).value);
  EXPECT_NE(result.out.find("] INFO: Found 6 distinct sequences.\nDEBUG: Occurence counts:\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("  " + a012 + " -> " + a3 + ": 2\n[0"), std::string::npos);
  EXPECT_NE(result.out.find("DEBUG: Aggregated occurence counts:\n"), std::string::npos);
  EXPECT_NE(result.out.find("  " + a012 + ": 3\n[0"), std::string::npos);
  EXPECT_NE(result.out.find("] DEBUG(1): Reading oplog_20240101_120000\n"), std::string::npos);
  EXPECT_NE(result.out.find("] DEBUG(1): Encountered 3 unique paths so far.\n"), std::string::npos);
  EXPECT_NE(result.out.find("reach p_t = 0.60: 1.000\n"), std::string::npos);
  // Only the 1/3 prediction is below the minimum.
  EXPECT_NE(result.out.find("] INFO: Tree size is 16 nodes\n"), std::string::npos);

  EXPECT_EQ(read_file(ground.work / "prefetch_histogram.txt"),
            "# of prefetches needed for p=0.60\tnumber of block sequences\n1\t5\n");
  EXPECT_FALSE(fs::exists(ground.work / "readahead_profile.ba"));
  const Profile profile = read_profile(output);
  EXPECT_EQ(profile.root.children.at(block_id_t("a.dat", 0))
                .children.at(block_id_t("a.dat", 1))
                .children.at(block_id_t("a.dat", 2))
                .predictions,
            (std::vector<std::pair<block_id_t, double>>{{block_id_t("a.dat", 3), 2.0 / 3}}));
}

TEST(TrainerProgram, TrainsAKernelProfileFromRecorderLogs) {
  TrainerGround ground;
  ground.add_log("bpf_oplog_20240101_120000", "7\tdir/x.bin\n8\tlib/y.so\n",
                 "0.100000000\tread\t7\t0\t4096\n"
                 "0.200000000\tmmap\t8\t#lib/y.so\n"
                 "0.300000000\tread\t7\t131072\t4096\n"
                 "0.400000000\tread\t7\t0\t4096\n");
  ground.add_log("oplog_20240101_120000", "0\tignored\n", "0.1\tread\t0\t0\t1\n");
  const ProgramResult result =
      run_trainer({"--kernel", "--trail-len", "1", ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err,
            "WARNING: Reads from mapped memory are ignored for readahead purposes\n"
            "The following files were mmap'ed:\n\t#lib/y.so\n"
            "WARNING: Blocksize may be poorly choisen.\n");
  EXPECT_NE(result.out.find("INFO: Found 2 distinct sequences.\n"), std::string::npos);

  const Profile profile = read_profile(ground.work / "readahead_profile.ba");
  EXPECT_EQ(profile.format, 3);
  EXPECT_TRUE(profile.settings.kernel);
  EXPECT_EQ(profile.settings.trail_length, 1u);
  EXPECT_EQ(profile.paths, (ProfilePaths{{hash_path("dir/x.bin"), "dir/x.bin"},
                                         {hash_path("lib/y.so"), "lib/y.so"}}));
  BlockNode expected;
  expected.name = "(root)";
  const block_id_t x0("dir/x.bin", 0);
  const block_id_t x1("dir/x.bin", 1);
  add_path(expected, {x0}).predictions = {{x1, 1.0}};
  add_path(expected, {x1}).predictions = {{x0, 1.0}};
  EXPECT_EQ(profile.root, expected) << profile.root;
}

TEST(TrainerProgram, TooFewBlocksGiveAnEmptyTree) {
  TrainerGround ground;
  ground.add_log("oplog_20240101_120000", "0\ta.dat\n1\tb.dat\n", "0.1\tread\t0\t0\t262144\n");
  const ProgramResult result = run_trainer({ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(result.out.find("INFO: Found 0 distinct sequences.\n"), std::string::npos);
  // 0 contexts weigh 0 / 0.
  EXPECT_NE(result.out.find("reach p_t = 0.90: -nan\n"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("INFO: Tree size is 1 nodes\n"), std::string::npos);
  EXPECT_EQ(read_file(ground.work / "prefetch_histogram.txt"),
            "# of prefetches needed for p=0.90\tnumber of block sequences\n");
  const Profile profile = read_profile(ground.work / "readahead_profile.ba");
  BlockNode root_alone;
  root_alone.name = "(root)";
  EXPECT_EQ(profile.root, root_alone);
  EXPECT_EQ(profile.paths.size(), 2u);
}

TEST(TrainerProgram, TheDeepestAllowedTreeReadsBack) {
  TrainerGround ground;
  // 1025 blocks of one byte: one sequence, a path of 1024 nodes.
  ground.add_log("oplog_20240101_120000", "0\ta.dat\n", "0.1\tread\t0\t0\t1025\n");
  const ProgramResult result = run_trainer(
      {"--v", "1", "--blocksize", "1", "--trail-len", "1024", ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, 0) << result.err;
  const Profile profile = read_profile(ground.work / "readahead_profile.ba");
  EXPECT_EQ(profile.settings.trail_length, 1024u);
  EXPECT_EQ(profile.root.size(), 1025u);
}

TEST(TrainerProgram, BadLogsEndTheRunWithTheirMessage) {
  // A line far too long for a recursive pattern matcher.
  const std::string long_line = "0.1\tread\t0\t0\t" + std::string(1 << 20, '1') + "x";
  struct Case {
    std::string files;
    std::string reads;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"0\ta\n", "0.1\tread\t0\t0\t1\n" + long_line + "\n", "Unable to parse line: " + long_line},
      {"0\ta\n", "0.1\tread\t3\t0\t1\n", "Unknown inode id: 3"},
      {"0\ta\n", "0.1\tread\t0\t0\t1\r\n", "Unable to parse line: 0.1\tread\t0\t0\t1\r"},
      // Longer than any read returns: one line cannot cost any amount of memory.
      {"0\ta\n", "0.1\tread\t0\t0\t2147479553\n",
       "Unable to parse line: 0.1\tread\t0\t0\t2147479553"},
      {"0 a\n", "", "Unable to parse line: 0 a"},
      // Numbers beyond 64 bits.
      {"0\ta\n", "0.1\tread\t0\t18446744073709551616\t4096\n",
       "Unable to parse line: 0.1\tread\t0\t18446744073709551616\t4096"},
      {"18446744073709551616\ta\n", "", "Unable to parse line: 18446744073709551616\ta"},
      {"1\tdir/file9480\n2\tdir/file69581\n", "",
       "Hash collision for dir/file9480 and dir/file69581"},
  };
  for (const auto& test_case : cases) {
    TrainerGround ground;
    ground.add_log("oplog_20240101_120000", test_case.files, test_case.reads);
    write_file(ground.work / "prefetch_histogram.txt", "old histogram");
    const ProgramResult result = run_trainer({ground.logs_argument()}, ground.work);
    EXPECT_EQ(result.status, aborted) << test_case.message.substr(0, 80);
    EXPECT_EQ(result.err.rfind("INTERNAL ERROR: " + test_case.message +
                                   "\nBacktrace (decode with devtools/decode_backtrace):\n",
                               0),
              0u)
        << result.err.substr(0, 200);
    EXPECT_EQ(read_file(ground.work / "prefetch_histogram.txt"), "old histogram");
    EXPECT_FALSE(fs::exists(ground.work / "readahead_profile.ba"));
  }

  TrainerGround ground;
  write_file(ground.logs / "oplog_20240101_120000_files.csv", "0\ta\n");
  const ProgramResult result = run_trainer({ground.logs_argument()}, ground.work);
  EXPECT_EQ(result.status, aborted);
  EXPECT_EQ(result.err.rfind("INTERNAL ERROR: Unable to open " + ground.logs.string() +
                                 "/oplog_20240101_120000.csv: No such file or directory\n",
                             0),
            0u)
      << result.err;
}

// What a FIFO holds once its writer is gone.
std::string read_all(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;)
    bytes.append(buffer, static_cast<std::size_t>(got));
  return bytes;
}

// Both outputs reach what their paths name: a symbolic link's target is
// replaced, a file keeps its mode, a FIFO or a device is written through.
TEST(TrainerProgram, OutputsAreWrittenThroughWhatTheirPathsName) {
  TrainerGround ground;
  add_daemon_logs(ground);
  const std::string histogram =
      "# of prefetches needed for p=0.90\tnumber of block sequences\n1\t4\n2\t1\n";
  const fs::path histogram_path = ground.work / "prefetch_histogram.txt";
  const fs::path profile_path = ground.work / "profile.ba";
  const fs::path elsewhere = ground.directory / "elsewhere";
  fs::create_directory(elsewhere);
  const auto train = [&] {
    const ProgramResult result =
        run_trainer({"--output", profile_path.string(), ground.logs_argument()}, ground.work);
    EXPECT_EQ(result.status, 0) << result.err;
  };
  const auto file_type = [](const fs::path& path) {
    struct stat info {};
    ::lstat(path.c_str(), &info);
    return info.st_mode & S_IFMT;
  };
  const auto start_over = [&] {
    fs::remove(histogram_path);
    fs::remove(profile_path);
  };

  {
    SCOPED_TRACE("symbolic links, relative and absolute, one of them dangling");
    fs::create_symlink("../elsewhere/histogram", histogram_path);
    fs::create_symlink(elsewhere / "profile.ba", profile_path);
    write_file(elsewhere / "histogram", "old histogram");
    train();
    EXPECT_TRUE(fs::is_symlink(histogram_path));
    EXPECT_TRUE(fs::is_symlink(profile_path));
    EXPECT_EQ(read_file(elsewhere / "histogram"), histogram);
    EXPECT_EQ(read_profile(elsewhere / "profile.ba").root.size(), 16u);
  }
  start_over();
  {
    SCOPED_TRACE("files of their own modes");
    write_file(histogram_path, "old histogram");
    write_file(profile_path, "old profile");
    fs::permissions(histogram_path, fs::perms(0600));
    fs::permissions(profile_path, fs::perms(0640));
    train();
    EXPECT_EQ(fs::status(histogram_path).permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(profile_path).permissions(), fs::perms(0640));
    EXPECT_EQ(read_file(histogram_path), histogram);
    EXPECT_EQ(read_profile(profile_path).root.size(), 16u);
  }
  start_over();
  {
    SCOPED_TRACE("FIFOs with a reader");
    ASSERT_EQ(::mkfifo(histogram_path.c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo(profile_path.c_str(), 0644), 0);
    // Open before the run: a FIFO that has no reader yet is refused. Both
    // outputs fit the FIFOs' buffers.
    const UniqueFd histogram_reader(::open(histogram_path.c_str(), O_RDONLY | O_NONBLOCK));
    const UniqueFd profile_reader(::open(profile_path.c_str(), O_RDONLY | O_NONBLOCK));
    ASSERT_TRUE(histogram_reader && profile_reader);
    train();
    EXPECT_EQ(read_all(histogram_reader.get()), histogram);
    write_file(ground.directory / "received.ba", read_all(profile_reader.get()));
    EXPECT_EQ(read_profile(ground.directory / "received.ba").root.size(), 16u);
    EXPECT_EQ(file_type(histogram_path), S_IFIFO);
    EXPECT_EQ(file_type(profile_path), S_IFIFO);
  }
  start_over();
  {
    SCOPED_TRACE("character devices: null devices of the test's own");
    ASSERT_EQ(::mknod(histogram_path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    ASSERT_EQ(::mknod(profile_path.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    train();
    EXPECT_EQ(file_type(histogram_path), S_IFCHR);
    EXPECT_EQ(file_type(profile_path), S_IFCHR);
  }
}

class TrainerOutputFailures : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    add_daemon_logs(ground);
    mount.emplace(ground.directory / "outputs");
    write_file(outputs() / "prefetch_histogram.txt", "old histogram");
    write_file(outputs() / "readahead_profile.ba", "old profile");
  }

  const fs::path& outputs() const { return mount->mountpoint; }

  // Both old outputs untouched and no temporary file left beside them.
  void expect_old_outputs_kept() const {
    EXPECT_EQ(read_file(outputs() / "prefetch_histogram.txt"), "old histogram");
    EXPECT_EQ(read_file(outputs() / "readahead_profile.ba"), "old profile");
    for (const auto& entry : fs::directory_iterator(outputs()))
      EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
  }

  void expect_failure(const ProgramResult& result, const std::string& message) const {
    EXPECT_EQ(result.status, aborted);
    EXPECT_EQ(result.err.rfind("INTERNAL ERROR: " + message + "\n", 0), 0u) << result.err;
  }

  TrainerGround ground;
  std::optional<TmpfsMount> mount;
};

TEST_F(TrainerOutputFailures, ReadOnlyDirectory) {
  mount->make_read_only();
  expect_failure(
      run_trainer({ground.logs_argument()}, outputs()),
      "Unable to write prefetch histogram prefetch_histogram.txt: Read-only file system");
  const fs::path profile = outputs() / "readahead_profile.ba";
  expect_failure(
      run_trainer({"--output", profile.string(), ground.logs_argument()}, ground.work),
      "Unable to write readahead profile " + profile.string() + ": Read-only file system");
  expect_old_outputs_kept();
}

TEST_F(TrainerOutputFailures, FullFilesystem) {
  mount->fill();
  expect_failure(run_trainer({ground.logs_argument()}, outputs()),
                 "Unable to write prefetch histogram prefetch_histogram.txt: No space left on "
                 "device");
  const fs::path profile = outputs() / "readahead_profile.ba";
  expect_failure(
      run_trainer({"--output", profile.string(), ground.logs_argument()}, ground.work),
      "Unable to write readahead profile " + profile.string() + ": No space left on device");
  expect_old_outputs_kept();
  // The histogram goes to the working directory, where there is room.
  EXPECT_EQ(read_file(ground.work / "prefetch_histogram.txt"),
            "# of prefetches needed for p=0.90\tnumber of block sequences\n1\t4\n2\t1\n");
}

// Run as root in a directory that everyone may write, as /tmp, where another
// user may have planted the names of both outputs.
class TrainerInASharedDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "planting names as another user needs root";
    add_daemon_logs(ground);
    write_file(precious, "precious\n");
    fs::permissions(precious, fs::perms(0600));
  }

  // A new shared working directory, owned by `owner`.
  fs::path shared_work(uid_t owner = 0) {
    const fs::path work = ground.directory / ("shared" + std::to_string(++works));
    fs::create_directory(work);
    share_directory(ground.directory.path(), work);
    EXPECT_EQ(::chown(work.c_str(), owner, owner), 0);
    return work;
  }

  // A trainer that waits for ever fails here rather than holding the suite.
  ProgramResult train_in(const fs::path& work) const {
    return run_program({trainer_binary, ground.logs_argument()}, in_directory(work),
                       std::chrono::seconds(20));
  }

  TrainerGround ground;
  const fs::path precious = ground.directory / "precious";
  int works = 0;
};

const std::string histogram_name = "prefetch_histogram.txt";
const std::string profile_name = "readahead_profile.ba";
const std::string trained_histogram =
    "# of prefetches needed for p=0.90\tnumber of block sequences\n1\t4\n2\t1\n";

// A link is followed only where the kernel protects nobody from it: one of
// the trainer's own user or of the directory's owner. Another user's link is
// refused, whatever fs.protected_symlinks says, and its target kept.
TEST_F(TrainerInASharedDirectory, LinksAreFollowedOnlyWhereTheKernelWould) {
  if (!nobody_can_write(shared_work()))
    GTEST_SKIP() << "nobody cannot reach " << ground.directory.path();
  struct Case {
    std::string name;  // the output whose name holds the link
    bool planted;      // by nobody, else by the trainer's own user
    uid_t directory_owner;
    std::string failure;  // empty: the link is followed
  };
  const std::vector<Case> cases = {
      {histogram_name, true, 0,
       "Unable to write prefetch histogram prefetch_histogram.txt: Permission denied"},
      {profile_name, true, 0,
       "Unable to write readahead profile readahead_profile.ba: Permission denied"},
      {histogram_name, false, 0, ""},
      {histogram_name, true, nobody, ""},
  };
  for (const auto& test_case : cases) {
    SCOPED_TRACE(test_case.name + (test_case.planted ? " planted" : " own") +
                 " in a directory of " + std::to_string(test_case.directory_owner));
    write_file(precious, "precious\n");
    const fs::path work = shared_work(test_case.directory_owner);
    if (test_case.planted)
      plant_as_nobody(work / test_case.name, precious);
    else
      fs::create_symlink(precious, work / test_case.name);
    const ProgramResult result = train_in(work);
    EXPECT_TRUE(fs::is_symlink(work / test_case.name));
    if (test_case.failure.empty()) {
      EXPECT_EQ(result.status, 0) << result.err;
      EXPECT_EQ(read_file(precious), trained_histogram);
    } else {
      EXPECT_EQ(result.status, aborted);
      EXPECT_EQ(result.err.rfind("INTERNAL ERROR: " + test_case.failure + "\n", 0), 0u)
          << result.err;
      EXPECT_EQ(read_file(precious), "precious\n");
    }
  }
}

// A file or FIFO that another user put in place of an output is refused, as
// the kernel refuses to open it there; a FIFO of one's own that nobody reads
// fails the run at once instead of holding it for ever.
TEST_F(TrainerInASharedDirectory, PlantedOutputsAreRefusedAndFifosFailAtOnce) {
  if (!nobody_can_write(shared_work()))
    GTEST_SKIP() << "nobody cannot reach " << ground.directory.path();
  const auto planted_file = [](const fs::path& path) {
    write_file(path, "planted\n");
    EXPECT_EQ(::chown(path.c_str(), nobody, nobody), 0);
  };
  const auto own_fifo = [](const fs::path& path) { EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0); };
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> plant;
    std::string failure;
  };
  const std::vector<Case> cases = {
      {histogram_name, plant_fifo_as_nobody,
       "Unable to write prefetch histogram prefetch_histogram.txt: Permission denied"},
      {profile_name, planted_file,
       "Unable to write readahead profile readahead_profile.ba: Permission denied"},
      {histogram_name, own_fifo,
       "Unable to write prefetch histogram prefetch_histogram.txt: No such device or address"},
      {profile_name, own_fifo,
       "Unable to write readahead profile readahead_profile.ba: No such device or address"},
  };
  for (const Case& test_case : cases) {
    SCOPED_TRACE(test_case.failure);
    const fs::path work = shared_work();
    test_case.plant(work / test_case.name);
    const ProgramResult result = train_in(work);
    EXPECT_EQ(result.status, aborted);
    EXPECT_EQ(result.err.rfind("INTERNAL ERROR: " + test_case.failure + "\n", 0), 0u) << result.err;
    if (fs::is_regular_file(work / test_case.name)) {
      EXPECT_EQ(read_file(work / test_case.name), "planted\n");
    }
  }
}

}  // namespace
}  // namespace quarnix::testing
