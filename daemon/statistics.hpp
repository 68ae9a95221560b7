// The statistics of the cache and the read-ahead, printed on SIGUSR1 and at exit.
#pragma once

#include <thread>

#include "support/stop_event.hpp"
#include "support/unique_fd.hpp"

namespace quarnix {

void print_cache_stats();
void print_readahead_stats();

void install_sigusr1_handler();
// Blocks SIGUSR1 in the calling thread and so in every thread it starts
// afterwards; the statistics printer lets it through again for itself.
void block_sigusr1();
void on_sigusr1(int signal_number);

// Prints both statistics each time SIGUSR1 arrives. The handler only wakes
// this thread: stream output and allocation are not safe in signal context.
class StatisticsPrinter {
 public:
  StatisticsPrinter();
  ~StatisticsPrinter();
  StatisticsPrinter(const StatisticsPrinter&) = delete;
  // Ends the printing; SIGUSR1 prints nothing afterwards.
  void stop();
  StatisticsPrinter& operator=(const StatisticsPrinter&) = delete;

 private:
  void run();

  UniqueFd read_end;
  UniqueFd write_end;
  StopEvent stop_event;
  std::thread thread;
};

}  // namespace quarnix
