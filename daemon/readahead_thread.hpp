// The read-ahead thread of the daemon, stopped and joined by its owner.
#pragma once

#include <thread>

namespace quarnix {

class ReadaheadThread {
 public:
  // Starts the thread when the daemon has a read-ahead state.
  ReadaheadThread();
  ~ReadaheadThread() { stop(); }
  ReadaheadThread(const ReadaheadThread&) = delete;
  ReadaheadThread& operator=(const ReadaheadThread&) = delete;

  // Asks the thread to stop through its state and joins it.
  void stop();

 private:
  std::thread thread;
};

}  // namespace quarnix
