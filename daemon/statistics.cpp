#include "daemon/statistics.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iostream>

#include "daemon/daemon_state.hpp"
#include "readahead/readahead_stats.hpp"
#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

constexpr char print_request = 'p';

// Write end of the printer's pipe, read by the signal handler.
std::atomic<int> wake_fd{-1};

}  // namespace

void print_cache_stats() {
  if (!state.cache) {
    write_line(std::cerr, "INFO: Cache not active.");
    return;
  }
  write_line(std::cerr, "INFO: Cache stats: " + std::to_string(state.cache->hits.load()) +
                            " hits, " + std::to_string(state.cache->misses.load()) + " misses.");
}

void print_readahead_stats() {
  if (!state.readahead) {
    write_line(std::cerr, "INFO: Read-ahead not active.");
    return;
  }
  write_text(std::cerr, format_readahead_stats(*state.readahead));
}

void on_sigusr1(int signal_number) {
  if (signal_number != SIGUSR1) return;
  const int fd = wake_fd.load();
  if (fd < 0) return;
  const int saved_errno = errno;
  ssize_t ignored = ::write(fd, &print_request, 1);
  (void)ignored;
  errno = saved_errno;
}

// SIGUSR1 held back from, or let through to, the calling thread.
void set_sigusr1_mask(int how) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGUSR1);
  const int result = ::pthread_sigmask(how, &signals, nullptr);
  if (result != 0) throw RuntimeError("pthread_sigmask", result);
}

void block_sigusr1() {
  set_sigusr1_mask(SIG_BLOCK);
}

void install_sigusr1_handler() {
  struct sigaction action {};
  action.sa_handler = on_sigusr1;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  if (::sigaction(SIGUSR1, &action, nullptr) != 0) throw RuntimeError("sigaction", errno);
}

StatisticsPrinter::StatisticsPrinter() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw RuntimeError("pipe2()", errno);
  // A full pipe already holds a pending request; the handler must never block.
  ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
  read_end.reset(fds[0]);
  write_end.reset(fds[1]);
  wake_fd.store(write_end.get());
  thread = std::thread([this] { run(); });
}

StatisticsPrinter::~StatisticsPrinter() {
  stop();
}

void StatisticsPrinter::stop() {
  if (!thread.joinable()) return;
  wake_fd.store(-1);
  stop_event.request();
  thread.join();
}

void StatisticsPrinter::run() {
  // The one thread that takes SIGUSR1: a signal that interrupts a call of
  // another thread, a flock the kernel is waiting on, say, fails it.
  set_sigusr1_mask(SIG_UNBLOCK);
  for (;;) {
    pollfd fds[2] = {{read_end.get(), POLLIN, 0}, stop_event.poll_entry()};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // A print asked for before the stop is still made.
    if (fds[0].revents == 0) return;
    char request;
    const ssize_t count = ::read(read_end.get(), &request, 1);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return;
    print_cache_stats();
    print_readahead_stats();
  }
}

}  // namespace quarnix
