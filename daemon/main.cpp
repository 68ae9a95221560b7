#include "daemon/run_daemon.hpp"

int main(int argc, char** argv) {
  return quarnix::run_daemon(argc, argv);
}
