// Whole `mat_notify` records from the peer, however the pipe cuts them, and
// the search for the record boundary once stray bytes have shifted it.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

#include "materialize/request_channel.hpp"
#include "support/stop_event.hpp"

namespace quarnix {

// What the bytes at an offset make, as far as the daemon can tell.
enum class RecordKind {
  answer,        // a notification that answers a request written
  notification,  // a notification of a placeholder's block that answers none
  stray,         // no notification
};
using RecordClassifier = std::function<RecordKind(const mat_notify&)>;

class NotificationReader {
 public:
  // Reads `input_fd` until it ends or a stop is requested.
  NotificationReader(int input_fd, const StopEvent& stop);

  // The next notification; nothing once the input has ended (or failed) or a
  // stop was asked for. A record cut off by the end of the input is dropped
  // with an error line. While the boundary is lost, the next offset where
  // `classify` finds an answer that the record after it confirms (it is no
  // stray bytes), or, where the peer paused for a moment before a whole
  // record followed, the answer that ends there. How many bytes were skipped
  // to reach it is reported.
  std::optional<mat_notify> next(const RecordClassifier& classify);

  bool stopped() const { return stop_seen; }

  // The record returned last was none: the next one is looked for from the
  // byte after its start on.
  void lose_boundary();
  bool boundary_lost() const { return searching; }

 private:
  // undecided: an answer at `begin` with no whole record after it yet.
  enum class Search { found, undecided, more_needed };
  // Moves `begin` past every offset that cannot start the next record.
  Search search(const RecordClassifier& classify);
  // The peer paused with an undecided answer at `begin`: the answer that ends
  // where it paused is taken, else the one at `begin`.
  void settle_at_pause(const RecordClassifier& classify);
  // Whether no input comes for a moment (false on a stop, which `fill` sees).
  bool input_quiet() const;
  void boundary_found();
  mat_notify record_at(std::size_t offset) const;
  void report_skipped(std::size_t count) const;
  // At the end of the input: the bytes left are no whole record.
  void report_leftover() const;
  // failed: a stop, or reading failed for good.
  enum class Fill { more, ended, failed };
  Fill fill();

  int input_fd;
  const StopEvent& stop;
  bool stop_seen = false;
  static constexpr int max_failed_reads = 2;
  int failed_reads = 0;  // in a row
  // Room for all a pipe holds, and a record more.
  std::vector<char> buffer;
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t last_start = 0;  // of the record returned last
  bool searching = false;
  std::size_t skipped = 0;  // since the boundary was lost
};

}  // namespace quarnix
