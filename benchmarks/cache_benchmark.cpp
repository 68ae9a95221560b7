// The block cache over a slow source. The slow source is a first quarnix
// mount with --delay-reads over a real directory; the measured quarnix is
// stacked on it. Prints the time to read a working set without the cache,
// with a cold cache, with a warm cache and after a restart from the metadata
// file, and each as a ratio to the uncached time.
#include <boost/format.hpp>
#include <filesystem>
#include <iostream>

#include "benchmarks/workloads.hpp"
#include "tests/fixtures/quarnix_mount.hpp"

using namespace quarnix::benchmarks;
using namespace quarnix::testing;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
  // Seconds of delay per request of the slow source.
  const std::string delay = argc > 1 ? argv[1] : "0.005";
  TempDir root;
  const fs::path source = root / "source", slow = root / "slow", cached = root / "cached";
  for (const auto& directory : {source, slow, cached})
    fs::create_directories(directory);
  const Tree tree = generate_tree(source, 0, 200, 512 << 10);
  const fs::path cachefile = root / "cache";
  write_file(cachefile, std::string(std::size_t{256} << 20, '\0'));

  QuarnixMount slow_source(source, slow, {"--delay-reads", "-" + delay});
  if (!slow_source.started()) {
    std::cerr << "slow source did not mount: " << slow_source.process().err();
    return 1;
  }
  // Only the page cache is dropped: the stacked inode numbers, which key the
  // cache, stay those of the first run.
  auto timed_read = [&](const std::vector<std::string>& options) {
    QuarnixMount mount(slow, cached, options);
    if (!mount.started())
      throw std::runtime_error("quarnix did not mount: " + mount.process().err());
    drop_caches(1);
    const Timing timing = read_all_files(cached, tree.small_files);
    mount.unmount_and_wait();
    return timing.seconds;
  };
  const std::vector<std::string> with_cache{"--cachefile", cachefile.string()};
  const double uncached = timed_read({});
  fs::remove(cachefile.string() + ".meta");
  // Cold and warm within one mount; then a fresh start from the metadata file.
  double cold = 0, warm = 0;
  {
    QuarnixMount mount(slow, cached, with_cache);
    drop_caches(1);
    cold = read_all_files(cached, tree.small_files).seconds;
    drop_caches(1);
    warm = read_all_files(cached, tree.small_files).seconds;
    mount.unmount_and_wait();
  }
  const double restarted = timed_read(with_cache);

  std::cout << boost::format(
                   "working set: %d files of 512 KiB, slow source delay %s s per request\n") %
                   tree.small_files.size() % delay;
  std::cout << boost::format("%-28s %10s %10s\n") % "run" % "seconds" % "speed-up";
  for (const auto& [name, seconds] :
       std::vector<std::pair<const char*, double>>{{"without cache", uncached},
                                                   {"cold cache", cold},
                                                   {"warm cache", warm},
                                                   {"after restart (metadata)", restarted}})
    std::cout << boost::format("%-28s %10.3f %10.2f\n") % name % seconds % (uncached / seconds);
  return slow_source.unmount_and_wait();
}
