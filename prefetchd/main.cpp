#include "prefetchd/run_prefetch_daemon.hpp"

int main(int argc, char** argv) {
  return quarnix::run_prefetch_daemon(argc, argv);
}
