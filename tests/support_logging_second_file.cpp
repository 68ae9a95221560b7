// A second source file with its own emitter instances.
#include "support/logging.hpp"

namespace quarnix::testing {

void log_info_from_second_file(const char* message) {
  log_info(message);
}

}  // namespace quarnix::testing
