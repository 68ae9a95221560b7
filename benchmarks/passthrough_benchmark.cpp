// Reads a generated tree natively and through a fresh quarnix mount, and works
// on the metadata of a tree of 16,000 files (names, attributes, listings,
// creation and removal), with the page cache dropped before each workload;
// prints each rate with its ratio to the native one.
#include <boost/format.hpp>
#include <functional>
#include <iostream>

#include "benchmarks/workloads.hpp"
#include "tests/fixtures/quarnix_mount.hpp"

using namespace quarnix::benchmarks;
using quarnix::testing::drop_caches;
using quarnix::testing::MountGround;
using quarnix::testing::QuarnixMount;

int main(int argc, char** argv) {
  // Further arguments are options for quarnix.
  const std::vector<std::string> options(argv + 1, argv + argc);
  MountGround ground;
  std::cout << "generating tree..." << std::endl;
  const Tree tree = generate_tree(ground.source, std::size_t{1} << 30, 6000, 4096);
  const std::vector<std::filesystem::path> metadata_files =
      generate_metadata_tree(ground.source / "meta", 16, 100, 1024);
  std::filesystem::create_directory(ground.source / "scratch");
  QuarnixMount mount(ground.source, ground.mountpoint, options);
  if (!mount.started()) {
    std::cerr << "quarnix did not mount: " << mount.process().err();
    return 1;
  }

  struct Workload {
    const char* name;
    const char* unit;
    double scale;
    std::function<Timing(const std::filesystem::path&)> run;
  };
  const std::vector<Workload> workloads = {
      {"sequential 128 KiB reads", "MiB/s", 1.0 / (1 << 20),
       [&](const auto& root) { return read_sequentially(root / tree.large_file, 128 << 10); }},
      {"random 4 KiB reads", "MiB/s", 1.0 / (1 << 20),
       [&](const auto& root) { return read_randomly(root / tree.large_file, 4096, 20000, 7); }},
      {"read every small file", "files/s", 1.0 / 4096,
       [&](const auto& root) { return read_all_files(root, tree.small_files); }},
      {"stat every file", "stats/s", 1.0,
       [&](const auto& root) { return stat_all_files(root, tree.small_files); }},
      {"find names (16,000 files)", "names/s", 1.0,
       [&](const auto& root) {
         return run_listing({"find", (root / "meta").string()});
       }},
      {"stat 16,000 files", "stats/s", 1.0,
       [&](const auto& root) { return stat_all_files(root / "meta", metadata_files); }},
      {"ls -lR (16,000 files)", "lines/s", 1.0,
       [&](const auto& root) {
         return run_listing({"ls", "-lR", (root / "meta").string()});
       }},
      {"create+write 4K+unlink", "files/s", 1.0,
       [&](const auto& root) { return create_write_unlink(root / "scratch", 1000, 4096); }},
  };
  std::cout << boost::format("%-26s %14s %14s %8s\n") % "workload" % "native" % "quarnix" % "ratio";
  for (const auto& workload : workloads) {
    drop_caches(3);
    const Timing native = workload.run(ground.source);
    drop_caches(3);
    const Timing mounted = workload.run(ground.mountpoint);
    const double native_rate = native.bytes * workload.scale / native.seconds;
    const double mounted_rate = mounted.bytes * workload.scale / mounted.seconds;
    std::cout << boost::format("%-26s %8.1f %-5s %8.1f %-5s %8.2f\n") % workload.name %
                     native_rate % workload.unit % mounted_rate % workload.unit %
                     (mounted_rate / native_rate);
  }
  return mount.unmount_and_wait();
}
