// The trace-driven prefetch daemon over a slow source. The slow source is a
// quarnix mount with --delay-reads; a quarnix with a block cache is stacked on
// it. A reader walks a recurring pattern of blocks scattered over many files
// and works on each block about as long as the slow source takes to deliver
// one. The first run, without the prefetch daemon, gives the pattern's trace;
// it is recorded with quarnix_recorder (through the stand-in bpftrace, which
// prints it) and learned by quarnix_trainer --kernel. The next runs start
// quarnix_prefetchd --testdata together with the reader, replaying the trace
// once with the times of the first run and once with the reader's own pace
// (one block per work time: what a live trace of a reader that never waits
// would show). All runs start with a cold cache. Besides quarnix's own cache
// counts it prints the share of the reader's reads that were served at once
// (in less than half the source's delay): the prefetch daemon's reads through
// the mount also fill the kernel's page cache of the mount, which then serves
// the reader without asking quarnix.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/format.hpp>
#include <filesystem>
#include <iostream>
#include <optional>
#include <random>
#include <regex>
#include <thread>

#include "benchmarks/block_pattern.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/standin_bpftrace.hpp"
#include "tests/fixtures/test_data.hpp"

using namespace quarnix::testing;
using namespace quarnix::benchmarks;
namespace fs = std::filesystem;

namespace {

// The read trace that the kernel would have printed for the reads, shifted by `offset_ns`.
std::string trace_of(const fs::path& root, const std::vector<BlockRead>& pattern,
                     const std::vector<std::uint64_t>& times_ns, std::uint64_t offset_ns) {
  std::string trace;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    struct stat status {};
    ::stat((root / pattern[i].file).c_str(), &status);
    trace += (boost::format("[%d] file_read_iter(ino=%d, off=%d, len=%d) -> %d\n") %
              (times_ns[i] + offset_ns) % status.st_ino % pattern[i].offset % pattern_block_size %
              pattern_block_size)
                 .str();
  }
  return trace;
}

double number_after(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) return -1;
  return std::stod(match[1]);
}

struct Result {
  ReaderRun reader;
  double cache_hits = 0, cache_misses = 0;
  std::string prefetchd_err;
};

}  // namespace

int main(int argc, char** argv) {
  // Seconds of delay per request of the slow source, and of the reader's work per block.
  const double delay = argc > 1 ? std::stod(argv[1]) : 0.005;
  const double work_seconds = argc > 2 ? std::stod(argv[2]) : delay;
  const auto work = std::chrono::microseconds(static_cast<long>(work_seconds * 1e6));
  TempDir root;
  const fs::path source = root / "source", slow = root / "slow", mnt = root / "mnt",
                 logs = root / "logs";
  for (const auto& directory : {source, slow, mnt, logs})
    fs::create_directories(directory);
  constexpr int files = 60;
  const std::vector<BlockRead> pattern = write_pattern_tree(source, files, 16, 300);

  QuarnixMount slow_source(source, slow, {"--delay-reads", (boost::format("-%f") % delay).str()});
  if (!slow_source.started()) return 1;
  const fs::path cachefile = root / "cache";
  write_file(cachefile, std::string(std::size_t{512} << 20, '\0'));
  const fs::path profile = logs / "readahead_profile.ba";

  auto timed = [&](const std::optional<fs::path>& testdata) {
    fs::remove(cachefile.string() + ".meta");
    QuarnixMount mount(slow, mnt, {"--cachefile", cachefile.string()});
    if (!mount.started()) throw std::runtime_error("quarnix did not mount");
    drop_caches(1);
    std::optional<Process> prefetchd;
    if (testdata)
      prefetchd.emplace(
          std::vector<std::string>{QUARNIX_PREFETCHD_BINARY, "--testdata", testdata->string(),
                                   profile.string(), mnt.string()},
          logs / "prefetchd");
    Result result;
    result.reader = read_pattern(mnt, pattern, work,
                                 std::chrono::microseconds(static_cast<long>(delay * 0.5e6)));
    if (prefetchd) {
      prefetchd->wait(std::chrono::seconds(60));
      result.prefetchd_err = prefetchd->err();
    }
    mount.unmount_and_wait();
    const std::string err = mount.process().err();
    result.cache_hits = number_after(err, "Cache stats: (\\d+) hits");
    result.cache_misses = number_after(err, "Cache stats: \\d+ hits, (\\d+) misses");
    return result;
  };

  const Result plain = timed(std::nullopt);
  const fs::path recorded = logs / "recorded.trace", paced = logs / "paced.trace";
  // The pattern recorded twice over, so that its end leads to its start again.
  {
    QuarnixMount mount(slow, mnt);
    const std::uint64_t second = plain.reader.read_end_ns.back() + 1000000000;
    StandinBpftrace bpftrace;
    bpftrace.print(trace_of(mnt, pattern, plain.reader.read_end_ns, 0) +
                   trace_of(mnt, pattern, plain.reader.read_end_ns, second));
    ProcessOptions in_logs = in_directory(logs);
    bpftrace.add_to(in_logs);
    const ProgramResult recorder = run_program({quarnix_recorder_binary(), mnt.string()}, in_logs);
    const ProgramResult trainer =
        run_program({QUARNIX_TRAINER_BINARY, "--kernel", logs.string()}, in_directory(logs));
    if (recorder.status != 0 || trainer.status != 0) {
      std::cerr << recorder.err << trainer.out << trainer.err;
      return 1;
    }
    write_file(recorded, trace_of(mnt, pattern, plain.reader.read_end_ns, 0));
    std::vector<std::uint64_t> pace;
    for (std::size_t i = 0; i < pattern.size(); ++i)
      pace.push_back(i * static_cast<std::uint64_t>(work.count()) * 1000 + 1000);
    write_file(paced, trace_of(mnt, pattern, pace, 0));
  }
  const Result replayed = timed(recorded);
  const Result replayed_paced = timed(paced);

  auto hit_share = [](const Result& result) {
    return 100.0 * result.cache_hits / (result.cache_hits + result.cache_misses);
  };
  auto fast_share = [&](const Result& result) {
    return 100.0 * result.reader.fast_reads / static_cast<double>(pattern.size());
  };
  std::cout << boost::format(
                   "pattern: %d block reads of 128 KiB over %d files; source delay %.1f ms, "
                   "reader work %.1f ms per block\n") %
                   pattern.size() % files % (delay * 1e3) % (work_seconds * 1e3);
  std::cout << boost::format("%-26s %9s %9s %22s %16s\n") % "cold cache" % "seconds" % "speed-up" %
                   "quarnix hits/misses" % "reader fast";
  for (const auto& [name, result] : std::vector<std::pair<const char*, const Result*>>{
           {"without prefetch daemon", &plain},
           {"prefetchd, recorded times", &replayed},
           {"prefetchd, reader's pace", &replayed_paced}})
    std::cout << boost::format("%-26s %9.3f %9.2f %5.0f/%-5.0f (%5.1f%%) %9d (%5.1f%%)\n") % name %
                     result->reader.seconds % (plain.reader.seconds / result->reader.seconds) %
                     result->cache_hits % result->cache_misses % hit_share(*result) %
                     result->reader.fast_reads % fast_share(*result);
  std::cout << "prefetch daemon's statistics, recorded times:\n" << replayed.prefetchd_err;
  std::cout << "prefetch daemon's statistics, reader's pace:\n" << replayed_paced.prefetchd_err;
  return slow_source.unmount_and_wait();
}
