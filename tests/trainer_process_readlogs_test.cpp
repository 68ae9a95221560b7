// Reading read logs into the trainer's tables: finding the logs, the path
// lists, the block windows of the read lines and what the reader refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "quarnix_trainer/process_readlogs.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"
#include "tests/fixtures/temp_dir.hpp"
#include "tests/stream_capture.hpp"
#include "tests/trainer_fixtures.hpp"

namespace quarnix::testing {
namespace {

using namespace quarnix::trainer;

namespace fs = std::filesystem;

// Two paths of different text that share one path hash.
const std::string colliding_path = "dir/file9480";
const std::string other_colliding_path = "dir/file69581";

// The message of the RuntimeError that `action` throws.
template <typename Action>
std::string failure_of(Action action) {
  try {
    action();
  } catch (const RuntimeError& error) {
    return error.what();
  }
  return "(no error)";
}

class TrainerReadLogs : public ::testing::Test {
 protected:
  TrainerReadLogs() { id2hash = {{0, hash_path("a")}, {1, hash_path("b")}}; }

  // Reads `lines` as one read log.
  void process(const std::string& lines, unsigned int blocksize = 131072,
               unsigned int trail_len = 3) {
    const fs::path file = directory / ("log" + std::to_string(logs++) + ".csv");
    write_file(file, lines);
    process_reads(file.string(), occ, id2hash, sizecount, blocksize, trail_len);
  }

  std::string failure_of_log(const std::string& lines) {
    return failure_of([&] { process(lines); });
  }

  block_id_t a(std::uint32_t block) const { return block_id_t(hash_path("a"), block); }
  block_id_t b(std::uint32_t block) const { return block_id_t(hash_path("b"), block); }

  TempDir directory;
  int logs = 0;
  occ_count_t occ;
  id2hash_t id2hash;
  sizecount_t sizecount;
};

TEST_F(TrainerReadLogs, FindsTheLogsOfOneKind) {
  for (const char* name : {"oplog_20240101_120000_files.csv", "oplog_20240101_120000.csv",
                           "oplog_20231231_235959_files.csv", "bpf_oplog_20240101_120000_files.csv",
                           "oplog_20240101_120000_files.csv.bak", "oplog_2024x_1_files.csv",
                           "xoplog_1_2_files.csv", "oplog_1_files.csv"})
    write_file(directory / name, "");
  fs::create_directory(directory / "sub");
  write_file(directory / "sub" / "oplog_1_2_files.csv", "");

  EXPECT_EQ(find_oplogs(directory.path().string(), false),
            (std::set<std::string>{"oplog_20231231_235959", "oplog_20240101_120000"}));
  EXPECT_EQ(find_oplogs(directory.path().string(), true),
            (std::set<std::string>{"bpf_oplog_20240101_120000"}));
}

TEST_F(TrainerReadLogs, PathListsFillBothTables) {
  const fs::path file = directory / "oplog_1_1_files.csv";
  write_file(file, "0\tdir/one\n1\tdir/two\n7\tdir/one\n1\tdir/three\n");
  hash2path_t hash2path;
  id2hash.clear();
  read_id2path(file.string(), hash2path, id2hash);

  // The same path under two ids keeps one path entry; a reused id takes its newest path.
  EXPECT_EQ(id2hash, (id2hash_t{{0, hash_path("dir/one")},
                                {1, hash_path("dir/three")},
                                {7, hash_path("dir/one")}}));
  EXPECT_EQ(hash2path, (hash2path_t{{hash_path("dir/one"), "dir/one"},
                                    {hash_path("dir/two"), "dir/two"},
                                    {hash_path("dir/three"), "dir/three"}}));
}

TEST_F(TrainerReadLogs, PathListsRefuseCollisionsAndMalformedLines) {
  ASSERT_EQ(hash_path(colliding_path), hash_path(other_colliding_path));
  const fs::path file = directory / "list_files.csv";
  hash2path_t hash2path;
  const auto read_list = [&](const std::string& contents) {
    write_file(file, contents);
    return failure_of([&] { read_id2path(file.string(), hash2path, id2hash); });
  };

  EXPECT_EQ(read_list("1\t" + colliding_path + "\n2\t" + other_colliding_path + "\n"),
            "Hash collision for " + colliding_path + " and " + other_colliding_path);
  for (const std::string line : {"x\tpath", "1\t", "1 path", "1\tpath\r", "-1\tpath", "\tpath",
                                 "18446744073709551616\tpath"})
    EXPECT_EQ(read_list("0\tgood\n" + line + "\n"), "Unable to parse line: " + line);
  EXPECT_EQ(failure_of([&] { read_id2path((directory / "missing").string(), hash2path, id2hash); }),
            "Unable to open " + (directory / "missing").string() + ": No such file or directory");
}

TEST_F(TrainerReadLogs, CountsEveryWindowOfTrailLengthPlusOneBlocks) {
  // Blocks 0 to 3: the window is full only after the fourth block.
  process("0.1\tread\t0\t0\t524288\n");
  EXPECT_EQ(occ, (occ_count_t{{sequence({a(0), a(1), a(2), a(3)}), 1}}));
  EXPECT_EQ(sizecount, (sizecount_t{{524288, 1}}));

  // The same read again in the same log: four more windows, one of them repeated.
  occ.clear();
  process("0.1\tread\t0\t0\t524288\n0.2\tread\t0\t0\t524288\n");
  EXPECT_EQ(occ, (occ_count_t{{sequence({a(0), a(1), a(2), a(3)}), 2},
                              {sequence({a(1), a(2), a(3), a(0)}), 1},
                              {sequence({a(2), a(3), a(0), a(1)}), 1},
                              {sequence({a(3), a(0), a(1), a(2)}), 1}}));
}

TEST_F(TrainerReadLogs, ReadsOfAllFilesShareTheWindowOfTheirLog) {
  process("1.0\tread\t0\t0\t1\n2.0\tgetattr\t0\n3.0\tread\t1\t4096\t1\n4.0\tread\t0\t131072\t1\n",
          131072, 2);
  EXPECT_EQ(occ, (occ_count_t{{sequence({a(0), b(0), a(1)}), 1}}));

  // Each log starts an empty window: two logs of two blocks count nothing at
  // trail length 2.
  occ.clear();
  process("1\tread\t0\t0\t262144\n", 131072, 2);
  process("1\tread\t1\t0\t262144\n", 131072, 2);
  EXPECT_TRUE(occ.empty());
}

TEST_F(TrainerReadLogs, ReadRangesCoverTheTouchedBlocks) {
  // Trail length 0 counts every block on its own.
  process("1\tread\t0\t131071\t1\n", 131072, 0);
  EXPECT_EQ(occ, (occ_count_t{{sequence({a(0)}), 1}}));
  occ.clear();
  process("1\tread\t0\t131071\t2\n", 131072, 0);
  EXPECT_EQ(occ, (occ_count_t{{sequence({a(0)}), 1}, {sequence({a(1)}), 1}}));

  // A read of 0 bytes covers no block, wherever it starts, but is a read.
  occ.clear();
  sizecount.clear();
  process("1\tread\t0\t0\t0\n2\tread\t0\t131071\t0\n3\tread\t0\t131072\t0\n", 131072, 0);
  EXPECT_TRUE(occ.empty());
  EXPECT_EQ(sizecount, (sizecount_t{{0, 3}}));
}

TEST_F(TrainerReadLogs, RangesBeyondTheLastBlockNumberOrReadLengthCountNothing) {
  // At block size 1 the ranges would otherwise take billions of windows.
  const auto failure_at_block_size_1 = [&](const std::string& line) {
    return failure_of([&] { process(line + "\n", 1, 0); });
  };
  const std::string unparsable = "Unable to parse line: ";
  const std::pair<std::string, std::string> refused[] = {
      {"1\tread\t0\t4294967295\t2", "block number overflow"},  // into block 4294967296
      {"1\tread\t0\t2147487745\t2147479552", "block number overflow"},
      // Longer than any read returns.
      {"1\tread\t0\t0\t2147479553", unparsable + "1\tread\t0\t0\t2147479553"},
      {"1\tread\t0\t0\t4294967297", unparsable + "1\tread\t0\t0\t4294967297"},
      {"1\tread\t0\t0\t9223372036854775808", unparsable + "1\tread\t0\t0\t9223372036854775808"},
  };
  for (const auto& [line, failure] : refused)
    EXPECT_EQ(failure_at_block_size_1(line), failure) << line;
  // Past the end of the 64-bit offsets.
  EXPECT_EQ(failure_of_log("1\tread\t0\t18446744073709551615\t2\n"), "block number overflow");
  EXPECT_TRUE(occ.empty());
  // The last block number itself is still a block, the longest read a read.
  process("1\tread\t0\t4294967295\t1\n", 1, 0);
  EXPECT_EQ(occ, (occ_count_t{{sequence({block_id_t(hash_path("a"), 4294967295u)}), 1}}));
  occ.clear();
  process("1\tread\t0\t0\t2147479552\n", 2147479552, 0);
  EXPECT_EQ(occ, (occ_count_t{{sequence({a(0)}), 1}}));
}

TEST_F(TrainerReadLogs, OtherOperationsAreSkippedButMustParse) {
  process(
      "0.1\tgetattr\t0\n0.2\tstatfs\t\n0.3\treaddir\t0\t2\tstart\n0.4\tsetattr\t0\tMODE,SIZE\t0\n");
  EXPECT_TRUE(occ.empty());
  EXPECT_TRUE(sizecount.empty());

  for (const std::string line :
       {"0.1\tgetattr", "0.1\tget_attr\t0", "0.1\tread2\t0", "x\tgetattr\t0", "-1\tgetattr\t0",
        "0.1\tread\t0\t0\t4096\r", "0.1\tread\t0\t-1\t4096", "0.1\tread\t0\t0",
        "0.1\tread\t0\t0\t1\t", "0.1\tmmap\t0\t", "0.1\tmmap\tx\t#path", "", "0.1 read\t0\t0\t1",
        "0.1\tread\t0\t0\t18446744073709551616"})
    EXPECT_EQ(failure_of_log("0.1\tread\t0\t0\t1\n" + line + "\n"), "Unable to parse line: " + line)
        << ::testing::PrintToString(line);

  const std::string long_line = "0.1\tread\t0\t0\t" + std::string(1 << 20, '9') + "x";
  EXPECT_EQ(failure_of_log(long_line + "\n"), "Unable to parse line: " + long_line);
}

TEST_F(TrainerReadLogs, UnknownIdsAndMissingLogsStopTheRun) {
  EXPECT_EQ(failure_of_log("0.1\tread\t0\t0\t1\n0.2\tread\t7\t0\t1\n"), "Unknown inode id: 7");
  EXPECT_EQ(
      failure_of([&] {
        process_reads((directory / "missing.csv").string(), occ, id2hash, sizecount, 131072, 3);
      }),
      "Unable to open " + (directory / "missing.csv").string() + ": No such file or directory");
}

std::string mapped_lines(int count) {
  std::string lines;
  for (int i = count - 1; i >= 0; --i)
    lines += "0.1\tmmap\t" + std::to_string(90 + i) + "\t#lib/" + std::to_string(100 + i) + "\n";
  return lines;
}

std::string mapped_list(int count) {
  std::string list;
  for (int i = 0; i < count; ++i)
    list += "\n\t#lib/" + std::to_string(100 + i);
  return list;
}

TEST_F(TrainerReadLogs, MappedFilesAreListedInOneWarning) {
  const std::string heading =
      "WARNING: Reads from mapped memory are ignored for readahead purposes\n"
      "The following files were mmap'ed:";
  {
    StreamCapture capture;
    process(mapped_lines(30) + "0.1\tmmap\t95\t#lib/105\n");
    EXPECT_EQ(capture.err(), heading + mapped_list(30) + "\n");
    EXPECT_EQ(capture.out(), "");
  }
  {
    StreamCapture capture;
    process(mapped_lines(31));
    EXPECT_EQ(capture.err(), heading + mapped_list(30) + "\n\t(1 further files omitted)\n\n");
  }
  {
    StreamCapture capture;
    process("0.1\tread\t0\t0\t1\n");
    EXPECT_EQ(capture.err(), "");
  }
}

}  // namespace
}  // namespace quarnix::testing
