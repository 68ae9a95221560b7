#include "quarnix_trainer/run_trainer.hpp"

int main(int argc, char** argv) {
  return quarnix::run_trainer(argc, argv);
}
