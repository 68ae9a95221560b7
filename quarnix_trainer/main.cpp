#include "quarnix_trainer/run_trainer.hpp"

int main(int argc, char** argv) {
  return quarnix::trainer::run_trainer(argc, argv);
}
