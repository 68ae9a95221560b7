// Warm reads of a fully cached tree over a slow source, by `cat` and by
// `tar`. The slow source is a first quarnix mount with --delay-reads that logs
// its reads; the measured quarnix is stacked on it with a 1 GiB cache file.
// After one cold `cat` of every file, each run drops the page cache and reads
// the tree with `cat`, then again with `tar cf - | cat`. Every chunk is cached
// by then, so no warm run should reach the source, however the reads are cut.
// Prints each run's time, the daemon's new cache misses and the reads that
// reached the slow source.
#include <boost/format.hpp>
#include <filesystem>
#include <iostream>

#include "benchmarks/workloads.hpp"
#include "tests/daemon_cache_fixtures.hpp"
#include "tests/fixtures/quarnix_mount.hpp"
#include "tests/fixtures/read_log.hpp"
#include "tests/fixtures/test_data.hpp"

using namespace quarnix::benchmarks;
using namespace quarnix::testing;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
  // Seconds of delay per request of the slow source, and the number of warm runs.
  const std::string delay = argc > 1 ? argv[1] : "0.01";
  const int runs = argc > 2 ? std::stoi(argv[2]) : 3;
  TempDir root;
  const fs::path source = root / "source", slow = root / "slow", cached = root / "cached",
                 slow_work = root / "slow_work";
  for (const auto& directory : {source, slow, cached, slow_work})
    fs::create_directories(directory);
  const std::vector<fs::path> files = generate_sized_files(
      source, 20, (std::size_t{3} << 20) + 1000, (std::size_t{4} << 20) - 1000);
  const fs::path cachefile = root / "cache";
  write_file(cachefile, "");
  fs::resize_file(cachefile, std::uintmax_t{1} << 30);

  QuarnixMount slow_source(source, slow, {"--delay-reads", "-" + delay, "--log-reads"},
                           in_directory(slow_work));
  if (!slow_source.started()) {
    std::cerr << "slow source did not mount: " << slow_source.process().err();
    return 1;
  }
  QuarnixMount mount(slow, cached, {"--cachefile", cachefile.string()});
  if (!mount.started()) {
    std::cerr << "quarnix did not mount: " << mount.process().err();
    return 1;
  }
  std::vector<std::string> cat{"cat"};
  for (const auto& file : files)
    cat.push_back((cached / file).string());
  const std::vector<std::string> tar{"tar", "cf", "-", "-C", cached.string(), "."};

  std::cout << boost::format("%d files of 3-4 MiB, slow source delay %s s per request\n") %
                   files.size() % delay;
  std::cout << boost::format("%-10s %10s %12s %14s\n") % "run" % "seconds" % "new misses" %
                   "source reads";
  auto timed = [&](const char* name, const std::vector<std::string>& command) {
    drop_caches(1);
    const long misses = stats_now(mount).misses;
    const std::size_t reads = read_requests(slow_work);
    const double seconds = run_listing(command).seconds;
    std::cout << boost::format("%-10s %10.3f %12d %14d\n") % name % seconds %
                     (stats_now(mount).misses - misses) % (read_requests(slow_work) - reads);
  };
  timed("cold cat", cat);
  for (int run = 0; run < runs; ++run) {
    timed("warm cat", cat);
    timed("warm tar", tar);
  }
  mount.unmount_and_wait();
  return slow_source.unmount_and_wait();
}
