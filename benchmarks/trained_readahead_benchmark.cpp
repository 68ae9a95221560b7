// Profile-driven read-ahead over a slow source. A reader walks a recurring
// pattern of blocks scattered over many files and works on each block about
// as long as the slow source takes to deliver one. The pattern is logged,
// learned by quarnix_trainer, and then read with a cold cache, once without
// and once with the profile. With fetching fully hidden behind the reader's
// work the limit of the speed-up is 2.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <boost/format.hpp>
#include <filesystem>
#include <iostream>
#include <random>
#include <regex>
#include <thread>

#include "benchmarks/block_pattern.hpp"
#include "tests/fixtures/quarnix_mount.hpp"

using namespace quarnix::testing;
using namespace quarnix::benchmarks;
namespace fs = std::filesystem;

namespace {

double number_after(const std::string& text, const std::string& pattern) {
  std::smatch match;
  if (!std::regex_search(text, match, std::regex(pattern))) return -1;
  return std::stod(match[1]);
}

}  // namespace

int main(int argc, char** argv) {
  const double delay = argc > 1 ? std::stod(argv[1]) : 0.005;
  const auto work = std::chrono::microseconds(static_cast<long>(delay * 1e6));
  TempDir root;
  const fs::path source = root / "source", slow = root / "slow", mnt = root / "mnt",
                 logs = root / "logs";
  for (const auto& directory : {source, slow, mnt, logs})
    fs::create_directories(directory);
  constexpr int files = 60;
  const std::vector<BlockRead> pattern = write_pattern_tree(source, files, 16, 300);

  QuarnixMount slow_source(source, slow, {"--delay-reads", (boost::format("-%f") % delay).str()});
  if (!slow_source.started()) return 1;
  ProcessOptions in_logs;
  in_logs.working_directory = logs;
  for (int run = 0; run < 3; ++run) {
    QuarnixMount mount(slow, mnt, {"--log-reads"}, in_logs);
    drop_caches(1);
    read_pattern(mnt, pattern, std::chrono::microseconds(0));
    mount.unmount_and_wait();
  }
  const ProgramResult trainer = run_program({QUARNIX_TRAINER_BINARY, logs.string()}, in_logs);
  if (trainer.status != 0) {
    std::cerr << trainer.out << trainer.err;
    return 1;
  }
  const fs::path cachefile = root / "cache";
  write_file(cachefile, std::string(std::size_t{512} << 20, '\0'));

  auto timed = [&](bool with_profile, std::string* err) {
    fs::remove(cachefile.string() + ".meta");
    std::vector<std::string> options{"--cachefile", cachefile.string()};
    if (with_profile) {
      options.push_back("--readahead-profile");
      options.push_back((logs / "readahead_profile.ba").string());
    }
    QuarnixMount mount(slow, mnt, options);
    drop_caches(1);
    const double seconds = read_pattern(mnt, pattern, work).seconds;
    mount.unmount_and_wait();
    *err = mount.process().err();
    return seconds;
  };
  std::string plain_err, profiled_err;
  const double plain = timed(false, &plain_err);
  const double profiled = timed(true, &profiled_err);
  const double hits = number_after(profiled_err, "Cache stats: (\\d+) hits");
  const double late = number_after(profiled_err, "hits not pre-fetched in time \\(([0-9.]+)%\\)");

  std::cout << boost::format(
                   "pattern: %d block reads over %d files; source delay and reader work "
                   "%.1f ms per block\n") %
                   pattern.size() % files % (delay * 1e3);
  std::cout << boost::format("cold cache without profile: %8.3f s\n") % plain;
  std::cout << boost::format("cold cache with profile:    %8.3f s   speed-up %.2f\n") % profiled %
                   (plain / profiled);
  std::cout
      << boost::format(
             "blocks served as cache hits: %.1f%%   predicted hits that came late: %.1f%%\n") %
             (100.0 * hits / static_cast<double>(pattern.size())) % late;
  return slow_source.unmount_and_wait();
}
