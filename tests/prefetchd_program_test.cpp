// The real quarnix_prefetchd on a real quarnix --log-all mount, whose
// operations log shows every block that the prefetch daemon read. Traces come
// from files (--testdata) or from quarnix_probe and the stand-in bpftrace of
// tests/fixtures/standin_bin.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <boost/archive/binary_oarchive.hpp>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "profile/block_id.hpp"
#include "profile/profile_file.hpp"
#include "tests/fixtures/process.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/read_log.hpp"
#include "tests/fixtures/standin_bpftrace.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/fixtures/test_data.hpp"

namespace quarnix::testing {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t block_size = 4096;

struct Block {
  std::string file;
  std::uint32_t block;
};

// A read of the operations log: file, offset and size.
using LoggedRead = std::tuple<std::string, std::uint64_t, std::uint64_t>;

LoggedRead logged(const Block& block) {
  return {block.file, block.block * block_size, block_size};
}

bool wait_for_text(Process& process, const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (process.out().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

fs::path made_directory(const fs::path& path) {
  fs::create_directories(path);
  return path;
}

// A tree of files on a quarnix --log-all mount, and the places the programs run in.
struct PrefetchGround {
  PrefetchGround() {
    fs::create_directory(ground.source / "dir");
    for (const char* file : {"a", "dir/b", "c"})
      write_file(ground.source / file, random_bytes(4 * block_size, file[0]));
  }

  std::string ino(const std::string& file) const {
    struct stat status {};
    EXPECT_EQ(stat((ground.mountpoint / file).c_str(), &status), 0) << file;
    return std::to_string(status.st_ino);
  }

  // One traced read of a whole block per entry, at the given times.
  std::string trace(const std::vector<Block>& blocks, std::uint64_t first_ns,
                    std::uint64_t step_ns) const {
    std::string text;
    for (std::size_t i = 0; i < blocks.size(); ++i)
      text += "[" + std::to_string(first_ns + i * step_ns) +
              "] file_read_iter(ino=" + ino(blocks[i].file) +
              ", off=" + std::to_string(blocks[i].block * block_size) + ", len=4096) -> 4096\n";
    return text;
  }

  // A kernel-trace profile of trail length 1 in which each context predicts its list.
  fs::path write_kernel_profile(
      const std::vector<std::pair<Block, std::vector<std::pair<Block, double>>>>& tree) const {
    BlockNode root;
    root.name = "(root)";
    ProfilePaths paths;
    for (const auto& [context, predictions] : tree) {
      BlockNode& node = root.children[block_id_t(context.file, context.block)];
      for (const auto& [block, p] : predictions)
        node.predictions.emplace_back(block_id_t(block.file, block.block), p);
    }
    for (const char* file : {"a", "dir/b", "c", "link", "device"})
      paths[hash_path(file)] = file;
    const fs::path profile = run_dir / "kernel_profile.ba";
    write_profile(profile.string(), ProfileSettings{true, block_size, 1}, paths, root);
    return profile;
  }

  Process start(std::vector<std::string> options, const StandinBpftrace* bpftrace = nullptr) {
    ProcessOptions process_options = in_directory(run_dir);
    if (bpftrace) bpftrace->add_to(process_options);
    options.insert(options.begin(), QUARNIX_PREFETCHD_BINARY);
    options.push_back(ground.mountpoint.string());
    return Process(options, outputs / ("prefetchd" + std::to_string(++runs)), process_options);
  }

  // The reads in the mount's operations log so far.
  std::vector<LoggedRead> logged_reads() const {
    const ReadLog log = read_log(daemon_dir);
    std::map<std::string, std::string> paths;
    for (const auto& line : log.files)
      paths[line.substr(0, line.find('\t'))] = line.substr(line.find('\t') + 1);
    std::vector<LoggedRead> reads;
    for (const auto& line : log.lines) {
      std::istringstream fields(line);
      std::string word, id;
      std::uint64_t offset = 0, size = 0;
      if (fields >> word >> id >> offset >> size && word == "read")
        reads.emplace_back(paths[id], offset, size);
    }
    return reads;
  }

  MountGround ground;
  fs::path daemon_dir = made_directory(ground.root / "daemon");
  fs::path run_dir = made_directory(ground.root / "run");
  QuarnixMount mount{ground.source, ground.mountpoint, {"--log-all"}, in_directory(daemon_dir)};
  TempDir outputs;
  int runs = 0;
};

// A recurring pattern recorded as a kernel trace, learned by the trainer and
// replayed: with no prefetching the statistics are exact, with one block per
// state the daemon reads exactly the next block of the pattern.
TEST(PrefetchdProgram, ReplaysATraceAgainstAProfileTrainedFromARecording) {
  PrefetchGround g;
  ASSERT_TRUE(g.mount.started());
  const std::vector<Block> pattern{{"a", 0}, {"dir/b", 2}, {"c", 1}, {"a", 3}, {"dir/b", 0}};
  std::vector<Block> twice = pattern;
  twice.insert(twice.end(), pattern.begin(), pattern.end());
  StandinBpftrace bpftrace;
  bpftrace.print(g.trace(twice, 2000, 1000));
  ProcessOptions in_run = in_directory(g.run_dir);
  bpftrace.add_to(in_run);
  const ProgramResult recorder =
      run_program({quarnix_recorder_binary(), g.ground.mountpoint.string()}, in_run);
  ASSERT_EQ(recorder.status, 0) << recorder.err;
  const ProgramResult trainer = run_program(
      {QUARNIX_TRAINER_BINARY, "--kernel", "--blocksize", "4096", "--trail-len", "1", "."},
      in_directory(g.run_dir));
  ASSERT_EQ(trainer.status, 0) << trainer.err;
  const fs::path testdata = g.run_dir / "replay.trace";
  // The read of a file that the scan did not find gives the prefetch of the
  // pattern's first block its time; nothing after the "exit" line counts.
  write_file(testdata, std::string(standin_handshake) + g.trace(pattern, 1000, 150000000) +
                           "[750001000] file_read_iter(ino=1, off=0, len=1) -> 1\n" + "exit\n" +
                           g.trace(pattern, 2000000000, 1));

  for (const std::string max_blocks : {"0", "1"}) {
    SCOPED_TRACE(max_blocks);
    const std::size_t reads_before = g.logged_reads().size();
    Process prefetchd = g.start(
        {"--max-blocks", max_blocks, "--testdata", testdata.string(), "readahead_profile.ba"});
    ASSERT_EQ(exit_status(prefetchd.wait()), 0) << prefetchd.err();
    EXPECT_EQ(prefetchd.out(),
              "INFO: Loading profile...\n"
              "INFO: Scanning mountpoint...\n"
              "INFO: Found 3 files\n"
              "INFO: Processing requests from " +
                  testdata.string() +
                  "...\n"
                  "INFO: Exiting...\n");
    const std::vector<LoggedRead> all = g.logged_reads();
    const std::set<LoggedRead> prefetched(all.begin() + reads_before, all.end());
    if (max_blocks == "0") {
      EXPECT_EQ(prefetchd.err(),
                "INFO: Read-ahead stats:\n"
                "       4 total predictions\n"
                "       4 expected first hits\n"
                "       4 expected hits\n"
                "       4 first hits (100.00% of expected, 100.00% of total)\n"
                "       4 hits (100.00% of expected, 100.00% of total)\n"
                "       4 hits not pre-fetched in time (100.00%)\n");
      EXPECT_TRUE(prefetched.empty());
    } else {
      // Each observed block predicts the next, the last the first again.
      EXPECT_EQ(prefetched,
                (std::set<LoggedRead>{logged(pattern[1]), logged(pattern[2]), logged(pattern[3]),
                                      logged(pattern[4]), logged(pattern[0])}));
      EXPECT_NE(prefetchd.err().find("       4 hits (100.00% of expected"), std::string::npos)
          << prefetchd.err();
    }
  }
}

// Following a live trace: the tracer is quarnix_probe beside the program with
// the stand-in bpftrace; an interrupt ends the tracer only, and the daemon
// then ends in order.
TEST(PrefetchdProgram, FollowsTheTracerUntilItEnds) {
  PrefetchGround g;
  ASSERT_TRUE(g.mount.started());
  const fs::path profile = g.write_kernel_profile(
      {{{"a", 0}, {{{"dir/b", 2}, 1.0}}}, {{"dir/b", 2}, {{{"a", 0}, 1.0}}}});
  StandinBpftrace bpftrace;
  bpftrace.print(g.trace({{"a", 0}, {"dir/b", 2}}, 2000, 1000))
      .wait_for_unmount(g.ground.mountpoint);
  Process prefetchd = g.start({"--max-blocks", "1", profile.string()}, &bpftrace);

  const pid_t tracer = bpftrace.wait_for_pid();
  ASSERT_GT(tracer, 0);
  const fs::path lock =
      g.run_dir / ("quarnix_prefetchd_" + std::to_string(prefetchd.pid()) + ".lck");
  EXPECT_EQ(wait_for_line(lock), std::to_string(tracer) + "\n");
  EXPECT_EQ(bpftrace.arguments().back(), std::to_string(prefetchd.pid()));
  // The block that the last traced read predicts is read; the one between
  // the two reads only if the thread was quick enough.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (g.logged_reads().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  const std::vector<LoggedRead> reads = g.logged_reads();
  ASSERT_FALSE(reads.empty());
  EXPECT_EQ(reads.back(), logged({"a", 0}));
  EXPECT_LE(reads.size(), 2u);
  EXPECT_TRUE(ignores_sigint(prefetchd.pid()));
  EXPECT_FALSE(ignores_sigint(tracer));

  kill(-prefetchd.pid(), SIGINT);
  ASSERT_EQ(exit_status(prefetchd.wait()), 0) << prefetchd.err();
  EXPECT_EQ(prefetchd.out(),
            "INFO: Loading profile...\n"
            "INFO: Scanning mountpoint...\n"
            "INFO: Found 3 files\n"
            "INFO: Starting tracer...\n"
            "INFO: Processing requests...\n"
            "INFO: Exiting...\n");
  EXPECT_NE(prefetchd.err().find("       1 hits (100.00% of expected"), std::string::npos)
      << prefetchd.err();
  EXPECT_FALSE(fs::exists(lock));
}

// A tracer that prints all its lines and ends at once: every line is read
// before its end counts, and each is scored. One that ends its lines with
// "exit" and runs on is ended by the daemon.
TEST(PrefetchdProgram, ScoresEveryLineOfATracerThatEndsAtOnce) {
  PrefetchGround g;
  ASSERT_TRUE(g.mount.started());
  const fs::path profile = g.write_kernel_profile({{{"a", 0}, {{{"a", 0}, 1.0}}}});
  for (const bool says_exit : {false, true}) {
    SCOPED_TRACE(says_exit);
    StandinBpftrace bpftrace;
    const std::string lines = g.trace(std::vector<Block>(200, Block{"a", 0}), 2000, 1000);
    if (says_exit)
      bpftrace.print(lines + "exit\n").wait_for_unmount(g.ground.mountpoint);
    else
      bpftrace.print(lines);
    Process prefetchd = g.start({"--max-blocks", "0", profile.string()}, &bpftrace);
    ASSERT_EQ(exit_status(prefetchd.wait()), 0) << prefetchd.err();
    // The first read finds the cursor at the root, which predicts nothing.
    EXPECT_NE(prefetchd.err().find("     199 hits (100.00% of expected"), std::string::npos)
        << prefetchd.err();
    EXPECT_EQ(kill(bpftrace.wait_for_pid(), 0), -1) << "the tracer still runs";
  }
}

// Profile paths are opened beneath the mountpoint without following any
// symbolic link: neither a file outside the tree nor a device is opened
// through a link in the tree, and such a path is skipped with a warning.
TEST(PrefetchdProgram, OpensNothingOutsideTheMountedTree) {
  PrefetchGround g;
  const fs::path outside = made_directory(g.ground.root / "outside");
  write_file(outside / "secret", std::string(block_size, 's'));
  fs::create_symlink(outside / "secret", g.ground.source / "link");
  fs::create_symlink("/dev/zero", g.ground.source / "device");
  ASSERT_TRUE(g.mount.started());
  const fs::path profile = g.write_kernel_profile(
      {{{"a", 0}, {{{"link", 0}, 0.9}, {{"device", 0}, 0.8}, {{"c", 0}, 0.5}}}});
  const fs::path testdata = g.run_dir / "replay.trace";
  // The second read keeps the daemon, and any descriptor it opened, alive.
  write_file(testdata, g.trace({{"a", 0}, {"a", 1}}, 1000, 60000000000));
  Process prefetchd = g.start({"--testdata", testdata.string(), profile.string()});

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (g.logged_reads().empty() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(g.logged_reads(), std::vector<LoggedRead>{logged({"c", 0})});
  EXPECT_EQ(descriptors_below(prefetchd.pid(), outside), 0);
  const std::string mountpoint = fs::canonical(g.ground.mountpoint).string();
  for (const char* path : {"/link): ", "/device): "})
    EXPECT_NE(prefetchd.err().find("open(" + mountpoint + path), std::string::npos)
        << prefetchd.err();
}

// A traced read longer than any read returns is skipped with a warning, not
// scored block by block under the state's mutex; the reads after it count.
TEST(PrefetchdProgram, SkipsReadsLongerThanAnyReadReturns) {
  PrefetchGround g;
  ASSERT_TRUE(g.mount.started());
  const fs::path profile = g.write_kernel_profile({{{"a", 0}, {{{"a", 1}, 1.0}}}});
  std::string lines;
  for (const char* length : {"2147479553", "9223372036854775807"})
    lines += "[1000] file_read_iter(ino=" + g.ino("a") + ", off=0, len=4096) -> " + length + "\n";
  const fs::path testdata = g.run_dir / "replay.trace";
  write_file(testdata, lines + g.trace({{"a", 0}, {"a", 1}}, 2000, 1000));
  Process prefetchd =
      g.start({"--max-blocks", "0", "--testdata", testdata.string(), profile.string()});
  ASSERT_EQ(exit_status(prefetchd.wait(std::chrono::seconds(20))), 0) << prefetchd.err();
  EXPECT_EQ(occurrences(prefetchd.err(), "is longer than any read returns, 2147479552 bytes"), 2u)
      << prefetchd.err();
  EXPECT_NE(prefetchd.err().find("       1 total predictions\n"), std::string::npos)
      << prefetchd.err();
  EXPECT_NE(prefetchd.err().find("       1 hits (100.00% of expected"), std::string::npos)
      << prefetchd.err();
}

TEST(PrefetchdProgram, ATracerThatEndsBeforeItStartedEndsTheDaemon) {
  for (const int tracer_status : {3, 0}) {
    SCOPED_TRACE(tracer_status);
    PrefetchGround g;
    ASSERT_TRUE(g.mount.started());
    const fs::path profile = g.write_kernel_profile({});
    StandinBpftrace bpftrace;
    bpftrace.without_handshake().exit_with(tracer_status);
    Process prefetchd = g.start({profile.string()}, &bpftrace);
    ASSERT_EQ(exit_status(prefetchd.wait()), tracer_status == 0 ? 0 : 9);
    EXPECT_EQ(prefetchd.out(),
              "INFO: Loading profile...\n"
              "INFO: Scanning mountpoint...\n"
              "INFO: Found 3 files\n"
              "INFO: Starting tracer...\n"
              "INFO: Tracer terminated, exiting.\n");
    EXPECT_EQ(prefetchd.err(), tracer_status == 0
                                   ? ""
                                   : "ERROR: Tracer returned non-zero exit status, aborting.\n\n");
    EXPECT_TRUE(files_ending_in(g.run_dir, ".lck").empty());
  }
}

// A predicted block that reaches past the end of its file is read up to the
// end; descriptors left unused are closed after three seconds.
TEST(PrefetchdProgram, ReadsBlocksToTheEndOfTheFileAndClosesIdleDescriptors) {
  PrefetchGround g;
  write_file(g.ground.source / "c", std::string(block_size + block_size / 2, 'c'));
  ASSERT_TRUE(g.mount.started());
  const fs::path profile =
      g.write_kernel_profile({{{"a", 0}, {{{"c", 1}, 0.9}, {{"dir/b", 7}, 0.5}}}});
  const fs::path testdata = g.run_dir / "replay.trace";
  // The second read keeps the daemon waiting long enough for the expiry.
  write_file(testdata, g.trace({{"a", 0}, {"a", 1}}, 1000, 60000000000));
  Process prefetchd =
      g.start({"--log-level", "debug1", "--testdata", testdata.string(), profile.string()});

  ASSERT_TRUE(wait_for_text(prefetchd, "expire_fds: dropped 2 fds.")) << prefetchd.out();
  EXPECT_EQ(descriptors_below(prefetchd.pid(), fs::canonical(g.ground.mountpoint)), 0);
  EXPECT_EQ(g.logged_reads(), (std::vector<LoggedRead>{{"c", block_size, block_size},
                                                       {"c", block_size * 3 / 2, block_size / 2},
                                                       {"dir/b", 7 * block_size, block_size}}));
}

TEST(PrefetchdProgram, RefusesWhatItCannotUse) {
  PrefetchGround g;
  ASSERT_TRUE(g.mount.started());
  const std::string missing = (g.run_dir / "missing").string();
  auto profile_with = [&](const std::string& name, bool kernel, unsigned block, std::string path) {
    const fs::path file = g.run_dir / name;
    write_profile(file.string(), ProfileSettings{kernel, block, 1}, {{1, path}}, BlockNode());
    return file.string();
  };
  const std::string old_format = (g.run_dir / "old.ba").string();
  {
    std::ofstream stream(old_format, std::ios::binary);
    boost::archive::binary_oarchive archive(stream, 0);
    archive << 2;
  }
  const std::string kernel = profile_with("kernel.ba", true, 4096, "a");
  TempDir plain;
  const std::string program = QUARNIX_PREFETCHD_BINARY;
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {{"--max-blocks", "1"},
       2,
       "Invalid number of arguments\nUsage: " + program + " --help\n       " + program +
           " [options] <profile> <mountpoint>\n\n"},
      {{missing}, 3, "ERROR: Unable to open " + missing + ": No such file or directory\n"},
      {{old_format}, 4, "ERROR: Readahead profile has unsupported format.\n"},
      {{profile_with("own.ba", false, 4096, "a")},
       4,
       "ERROR: Readahead profile not created from kernel trace data.\n"},
      {{profile_with("zero.ba", true, 0, "a")}, 4, "ERROR: Readahead profile has block size 0.\n"},
      {{profile_with("huge.ba", true, 0xffffffff, "a")},
       4,
       "ERROR: Readahead profile has block size 4294967295, more than the largest of "
       "67108864.\n"},
      {{profile_with("outside.ba", true, 4096, "../x")},
       4,
       "ERROR: Readahead profile names a path outside the tree: \"../x\"\n"},
      {{"--testdata", missing, kernel},
       3,
       "ERROR: Unable to read " + missing + ": No such file or directory\n"},
      {{"--testdata", g.run_dir.string(), kernel},
       3,
       "ERROR: Unable to read " + g.run_dir.string() + ": Is a directory\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.back());
    Process prefetchd = g.start(c.arguments);
    EXPECT_EQ(exit_status(prefetchd.wait()), c.status);
    EXPECT_EQ(prefetchd.err(), c.err);
  }
  const std::string directory = fs::canonical(plain.path()).string();
  const ProgramResult not_mounted = run_program({program, kernel, directory});
  EXPECT_EQ(not_mounted.status, 2);
  EXPECT_EQ(not_mounted.err, "ERROR: " + directory + "/ is not a mountpoint\n");
}

}  // namespace
}  // namespace quarnix::testing
