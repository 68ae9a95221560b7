#include "recorder/run_recorder.hpp"

int main(int argc, char** argv) {
  return quarnix::recorder::run_recorder(argc, argv);
}
