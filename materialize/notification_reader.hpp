// Whole `mat_notify` records from the peer, however the pipe cuts them.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>

#include "materialize/request_channel.hpp"
#include "support/stop_event.hpp"

namespace quarnix {

class NotificationReader {
 public:
  // Reads `input_fd` until it ends or a stop is requested.
  NotificationReader(int input_fd, const StopEvent& stop) : input_fd(input_fd), stop(stop) {}

  // The next notification; nothing once the input has ended (or failed) or a
  // stop was asked for. A record cut off by the end of the input is dropped
  // with an error line.
  std::optional<mat_notify> next();

  bool stopped() const { return stop_seen; }
  // The next record starts `count` bytes before the end of the one returned
  // last (at most its size): for finding the record boundary again.
  void skip_back(std::size_t count) { begin -= std::min(count, begin); }

 private:
  // False at the end of the input or on a stop.
  bool fill();

  int input_fd;
  const StopEvent& stop;
  bool stop_seen = false;
  static constexpr int max_failed_reads = 2;
  int failed_reads = 0;  // in a row
  char buffer[mat_notify_size * 128];
  std::size_t begin = 0;
  std::size_t end = 0;
};

}  // namespace quarnix
