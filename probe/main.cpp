#include "probe/run_tracer.hpp"

int main(int argc, char** argv) {
  quarnix::probe::run_tracer(argc, argv);
}
