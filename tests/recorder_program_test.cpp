// The real quarnix_recorder on a real quarnix mount, tracing through
// quarnix_probe and the stand-in bpftrace of tests/fixtures/standin_bin.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "profile/profile_file.hpp"
#include "tests/fixtures/process.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/standin_bpftrace.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

struct stat stat_of(const fs::path& path) {
  struct stat status {};
  EXPECT_EQ(lstat(path.c_str(), &status), 0) << path;
  return status;
}

std::string ino(const fs::path& path) {
  return std::to_string(stat_of(path).st_ino);
}

// The read log that the recorder left in a directory: its base name, or empty.
std::string recorded_base(const fs::path& directory) {
  const auto maps = files_ending_in(directory, "_files.csv");
  if (maps.size() != 1) return {};
  const std::string name = maps[0].filename().string();
  return name.substr(0, name.size() - std::string("_files.csv").size());
}

// quarnix_trainer --kernel on the read logs of a directory.
ProgramResult train_kernel_profile(const fs::path& directory) {
  return run_program(
      {QUARNIX_TRAINER_BINARY, "--kernel", "--blocksize", "4096", "--trail-len", "1", "."},
      in_directory(directory));
}

std::string info_lines(const std::string& base, int files, bool handshake) {
  return "INFO: Data will be written into " + base +
         ".*.\n"
         "INFO: Scanning mountpoint...\n"
         "INFO: Found " +
         std::to_string(files) +
         " files\n"
         "INFO: Starting tracer...\n" +
         (handshake ? "INFO: Gathering data...\n" : "");
}

// A mounted tree of three files, and the recorder's working directory.
struct RecorderGround {
  RecorderGround() {
    fs::create_directory(ground.source / "dir");
    write_file(ground.source / "a", random_bytes(64 * 1024, 1));
    write_file(ground.source / "dir/b", "b");
    write_file(ground.source / "c", "c");
  }

  Process start(const StandinBpftrace& bpftrace, std::vector<std::string> arguments,
                ProcessOptions options = {}) {
    if (options.working_directory.empty()) options.working_directory = ground.work;
    bpftrace.add_to(options);
    arguments.push_back(ground.mountpoint.string());
    return Process(arguments, outputs / ("recorder" + std::to_string(++runs)), options);
  }

  MountGround ground;
  QuarnixMount mount{ground.source, ground.mountpoint};
  TempDir outputs;
  int runs = 0;
};

TEST(RecorderProgram, RecordsTheTraceOfAMountIntoAReadLog) {
  RecorderGround g;
  ASSERT_TRUE(g.mount.started());
  const fs::path mnt = g.ground.mountpoint;
  const std::string a = ino(mnt / "a"), b = ino(mnt / "dir/b"), c = ino(mnt / "c");
  const std::string device = std::to_string(stat_of(mnt).st_dev);
  StandinBpftrace bpftrace;
  const std::string read = "] file_read_iter(ino=";
  bpftrace
      .print("[2000" + read + a + ", off=0, len=16384) -> 16384\n" +  //
             "[2100" + read + b + ", off=0, len=4096) -> 0\n" +       // file map line only
             "[2200" + read + "999999999, off=0, len=10) -> 10\n" +   // not in the scan
             " \t\n" +                                                //
             "[2300" + read + a + ", off=16384, len=4096) -> -4\n" +  // failed: unparsable
             "[2400" + read + a + ", off=99999999999999999999, len=1) -> 1\n" +  // too large
             "[2500] file_mmap(ino=" + c + ")\n" +                               //
             "[3000000000" + read + a + ", off=16384, len=49152) -> 49152\n")
      .wait_for_unmount(mnt);
  Process recorder = g.start(bpftrace, {quarnix_recorder_binary()});

  // While tracing, the lock file names the tracer, and an interrupt ends neither.
  const pid_t tracer = bpftrace.wait_for_pid();
  ASSERT_GT(tracer, 0);
  const fs::path lock =
      g.ground.work / ("quarnix_recorder_" + std::to_string(recorder.pid()) + ".lck");
  EXPECT_EQ(wait_for_line(lock), std::to_string(tracer) + "\n");
  EXPECT_TRUE(ignores_sigint(recorder.pid()));
  EXPECT_TRUE(ignores_sigint(tracer));
  kill(-recorder.pid(), SIGINT);
  EXPECT_TRUE(recorder.running());

  EXPECT_EQ(g.mount.unmount_and_wait(), 0);
  ASSERT_EQ(exit_status(recorder.wait()), 0) << recorder.err();
  const std::string base = recorded_base(g.ground.work);
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(recorder.out(), info_lines(base, 3, true) +
                                "INFO: Tracing completed.\n"
                                "INFO: Translating trace data to read log...\n"
                                "INFO: Processed 5 trace entries\n"
                                "INFO: Skipped 1 entries for 1 inodes not found in mountpoint\n");
  EXPECT_EQ(recorder.err(), "WARNING: Unable to parse: [2300] file_read_iter(ino=" + a +
                                ", off=16384, len=4096) -> -4\n"
                                "WARNING: Unable to parse: [2400] file_read_iter(ino=" +
                                a +
                                ", off=99999999999999999999, len=1) -> 1\n"
                                "WARNING: Some files were mmap'ed, read logs may be incomplete.\n");
  EXPECT_EQ(read_file(g.ground.work / (base + ".csv")),
            "0.000002000\tread\t" + a + "\t0\t16384\n" + "0.000002500\tmmap\t" + c + "\t#c\n" +
                "3.000000000\tread\t" + a + "\t16384\t49152\n");
  EXPECT_EQ(read_file(g.ground.work / (base + "_files.csv")),
            a + "\ta\n" + b + "\tdir/b\n" + c + "\tc\n");
  EXPECT_FALSE(fs::exists(g.ground.work / (base + ".trace")));
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_EQ(bpftrace.arguments(),
            (std::vector<std::string>{"-e", read_file(QUARNIX_PROBE_SCRIPT), device, "0",
                                      std::to_string(recorder.pid())}));

  // The trainer takes the result as a kernel trace.
  const ProgramResult trainer = train_kernel_profile(g.ground.work);
  ASSERT_EQ(trainer.status, 0) << trainer.err;
  ProfileReader profile((g.ground.work / "readahead_profile.ba").string());
  EXPECT_EQ(profile.read_format(), profile_format);
  EXPECT_TRUE(profile.read_settings().kernel);
}

// A read log is read line by line and field by field: a file whose name holds
// a tab or a line break is left out, with one warning, and the trainer takes
// the rest.
TEST(RecorderProgram, LeavesOutFilesWhoseNamesBreakALine) {
  RecorderGround g;
  ASSERT_TRUE(g.mount.started());
  const std::vector<std::string> unfit = {"new\nline", "dir/tab\there", "carriage\rreturn"};
  for (const std::string& name : unfit)
    write_file(g.ground.source / name, "x");
  const fs::path mnt = g.ground.mountpoint;
  const std::string a = ino(mnt / "a");
  std::string trace = "[2000] file_read_iter(ino=" + a + ", off=0, len=8192) -> 8192\n";
  for (const std::string& name : unfit)
    trace += "[3000] file_read_iter(ino=" + ino(mnt / name) + ", off=0, len=4096) -> 1\n" +
             "[3100] file_mmap(ino=" + ino(mnt / name) + ")\n";
  StandinBpftrace bpftrace;
  bpftrace.print(trace);
  Process recorder = g.start(bpftrace, {quarnix_recorder_binary()});
  ASSERT_EQ(exit_status(recorder.wait()), 0) << recorder.err();

  const std::string base = recorded_base(g.ground.work);
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(read_file(g.ground.work / (base + ".csv")), "0.000002000\tread\t" + a + "\t0\t8192\n");
  EXPECT_EQ(read_file(g.ground.work / (base + "_files.csv")), a + "\ta\n");
  const std::string err = recorder.err();
  int warnings = 0;
  for (std::size_t at = err.find("WARNING"); at != std::string::npos;
       at = err.find("WARNING", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 3) << err;
  EXPECT_NE(recorder.out().find("INFO: Processed 7 trace entries\n"), std::string::npos)
      << recorder.out();

  const ProgramResult trainer = train_kernel_profile(g.ground.work);
  EXPECT_EQ(trainer.status, 0) << trainer.err;
}

// Reads that the trainer could not number in 32 bits of 4096-byte blocks, or
// longer than any read returns, are left out, with a warning each, so that
// the trainer takes the rest.
TEST(RecorderProgram, LeavesOutReadsBeyondTheBlocksOfAReadLog) {
  RecorderGround g;
  ASSERT_TRUE(g.mount.started());
  const std::string a = ino(g.ground.mountpoint / "a");
  const std::string read = "] file_read_iter(ino=" + a + ", off=";
  StandinBpftrace bpftrace;
  bpftrace.print("[2000" + read + "0, len=4096) -> 4096\n" +               // first block
                 "[3000" + read + "17592186040320, len=4096) -> 4096\n" +  // last block 2^32 - 1
                 "[4000" + read + "17592186040320, len=4097) -> 4097\n" +  // into block 2^32
                 "[5000" + read + "17592186044416, len=1) -> 1\n" +        // block 2^32
                 "[6000" + read + "18446744073709551615, len=1) -> 1\n" +  // the last offset
                 "[7000" + read + "0, len=2147479553) -> 2147479553\n");   // too long
  Process recorder = g.start(bpftrace, {quarnix_recorder_binary()});
  ASSERT_EQ(exit_status(recorder.wait()), 0) << recorder.err();

  const std::string base = recorded_base(g.ground.work);
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(read_file(g.ground.work / (base + ".csv")), "0.000002000\tread\t" + a +
                                                            "\t0\t4096\n0.000003000\tread\t" + a +
                                                            "\t17592186040320\t4096\n");
  const std::string err = recorder.err();
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;
  const ProgramResult trainer = train_kernel_profile(g.ground.work);
  EXPECT_EQ(trainer.status, 0) << trainer.err;
}

// Two recorders started together in one directory each claim a base name of
// their own: neither takes the other's files, and both logs hold their reads.
TEST(RecorderProgram, TwoRecordersInOneDirectoryKeepTheirOwnLogs) {
  RecorderGround g;
  ASSERT_TRUE(g.mount.started());
  const std::string a = ino(g.ground.mountpoint / "a"), c = ino(g.ground.mountpoint / "c");
  StandinBpftrace of_a, of_c;
  of_a.print("[2000] file_read_iter(ino=" + a + ", off=0, len=4096) -> 4096\n");
  of_c.print("[2000] file_read_iter(ino=" + c + ", off=0, len=1) -> 1\n");
  Process first = g.start(of_a, {quarnix_recorder_binary()});
  Process second = g.start(of_c, {quarnix_recorder_binary()});
  ASSERT_EQ(exit_status(first.wait()), 0) << first.err();
  ASSERT_EQ(exit_status(second.wait()), 0) << second.err();

  std::vector<std::string> maps;
  for (const fs::path& map : files_ending_in(g.ground.work, "_files.csv"))
    maps.push_back(read_file(map));
  std::sort(maps.begin(), maps.end());
  std::vector<std::string> expected{a + "\ta\n", c + "\tc\n"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(maps, expected);
  for (const fs::path& log : files_ending_in(g.ground.work, ".csv")) {
    const std::string lines = read_file(log);
    if (!log.string().ends_with("_files.csv")) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << log;
    }
  }
}

// The raw trace keeps whatever the tracer printed; a line of any length is
// only a line.
TEST(RecorderProgram, TranslatesATraceWithAHugeLine) {
  RecorderGround g;
  ASSERT_TRUE(g.mount.started());
  const std::string a = ino(g.ground.mountpoint / "a");
  const std::string huge(1 << 20, ' ');
  StandinBpftrace bpftrace;
  bpftrace.print("[2000] file_read_iter(ino=" + a + ", off=0, len=4096) -> 4096" + huge + "\n" +
                 huge + "\n" + "[3000] file_read_iter(ino=" + a +
                 ", off=4096, len=4096) -> 4096\n");
  Process recorder = g.start(bpftrace, {quarnix_recorder_binary()});
  ASSERT_EQ(exit_status(recorder.wait()), 0) << recorder.err();

  const std::string base = recorded_base(g.ground.work);
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(read_file(g.ground.work / (base + ".csv")),
            "0.000002000\tread\t" + a + "\t0\t4096\n0.000003000\tread\t" + a + "\t4096\t4096\n");
  EXPECT_NE(recorder.out().find("INFO: Processed 2 trace entries\n"), std::string::npos)
      << recorder.out();
}

TEST(RecorderProgram, WritesNoReadLogWhenTheTracerFails) {
  struct Case {
    bool handshake;
    int tracer_status;
    int status;
  };
  for (const Case& c : {Case{true, 3, 9}, Case{false, 3, 9}, Case{false, 0, 0}}) {
    SCOPED_TRACE(std::to_string(c.handshake) + " " + std::to_string(c.tracer_status));
    RecorderGround g;
    ASSERT_TRUE(g.mount.started());
    StandinBpftrace bpftrace;
    bpftrace.exit_with(c.tracer_status);
    if (c.handshake)
      bpftrace.wait_for_unmount(g.ground.mountpoint);
    else
      bpftrace.without_handshake();
    Process recorder = g.start(bpftrace, {quarnix_recorder_binary()});
    if (c.handshake) {
      // The tracer fails once it has started and the recorder has noticed.
      const fs::path lock =
          g.ground.work / ("quarnix_recorder_" + std::to_string(recorder.pid()) + ".lck");
      EXPECT_FALSE(wait_for_line(lock).empty());
      g.mount.unmount_and_wait();
    }
    ASSERT_EQ(exit_status(recorder.wait()), c.status) << recorder.err();

    const auto traces = files_ending_in(g.ground.work, ".trace");
    const std::string base = c.status == 0        ? recorded_base(g.ground.work)
                             : traces.size() == 1 ? traces[0].stem().string()
                                                  : "";
    ASSERT_FALSE(base.empty());
    if (c.status == 0) {
      EXPECT_EQ(recorder.out(), info_lines(base, 3, false) +
                                    "INFO: Tracing completed.\n"
                                    "INFO: Translating trace data to read log...\n"
                                    "INFO: Processed 0 trace entries\n"
                                    "INFO: Skipped 0 entries for 0 inodes not found in "
                                    "mountpoint\n");
      EXPECT_EQ(read_file(g.ground.work / (base + ".csv")), "");
    } else {
      EXPECT_EQ(recorder.out(), info_lines(base, 3, c.handshake));
      EXPECT_EQ(recorder.err(), "ERROR: Tracer returned non-zero exit status, aborting.\n\n");
      EXPECT_TRUE(files_ending_in(g.ground.work, ".csv").empty());
    }
    EXPECT_TRUE(files_ending_in(g.ground.work, ".lck").empty());
  }
}

// Found through PATH, the recorder takes the probe from PATH too, never one
// that lies in the working directory; --keep-raw leaves the raw trace.
TEST(RecorderProgram, FoundThroughPathRunsTheProbeFromPath) {
  RecorderGround g;
  ASSERT_TRUE(g.mount.started());
  TempDir bin;
  fs::create_symlink(quarnix_recorder_binary(), bin / "quarnix_recorder");
  fs::create_symlink(quarnix_probe_binary(), bin / "quarnix_probe");
  write_file(g.ground.work / "quarnix_probe", "#!/bin/sh\ntouch planted_probe_ran\nexit 1\n");
  fs::permissions(g.ground.work / "quarnix_probe", fs::perms::owner_all);
  const std::string trace =
      "[2000] file_read_iter(ino=" + ino(g.ground.mountpoint / "c") + ", off=0, len=4096) -> 1\n";
  StandinBpftrace bpftrace;
  bpftrace.print(trace);
  ProcessOptions options;
  options.working_directory = g.ground.work;
  options.extra_path.push_back(bin.path().string());
  Process recorder = g.start(bpftrace, {"quarnix_recorder", "--keep-raw"}, options);
  ASSERT_EQ(exit_status(recorder.wait()), 0) << recorder.err();

  EXPECT_FALSE(fs::exists(g.ground.work / "planted_probe_ran"));
  const std::string base = recorded_base(g.ground.work);
  ASSERT_FALSE(base.empty());
  EXPECT_EQ(read_file(g.ground.work / (base + ".trace")), standin_handshake + trace);
  EXPECT_EQ(read_file(g.ground.work / (base + "_files.csv")),
            ino(g.ground.mountpoint / "c") + "\tc\n");
}

TEST(RecorderProgram, RefusesWhatIsNotAMountpoint) {
  TempDir directory;
  const std::string plain = fs::canonical(directory.path()).string();
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string err;
  };
  const std::string recorder = quarnix_recorder_binary();
  const std::string usage =
      "Usage: " + recorder + " --help\n       " + recorder + " [options] <mountpoint>\n\n";
  const Case cases[] = {
      {{recorder, plain}, 2, "ERROR: " + plain + "/ is not a mountpoint\n"},
      {{recorder}, 2, "Invalid number of arguments\n" + usage},
      {{recorder, "--help"}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    const ProgramResult result = run_program(c.arguments, in_directory(directory.path()));
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
  }
}

}  // namespace
}  // namespace quarnix::testing
