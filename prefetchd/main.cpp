#include "prefetchd/run_prefetch_daemon.hpp"

int main(int argc, char** argv) {
  return quarnix::prefetchd::run_prefetch_daemon(argc, argv);
}
