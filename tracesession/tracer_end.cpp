#include "tracesession/tracer_end.hpp"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <boost/format.hpp>
#include <string>

#include "support/errors.hpp"
#include "support/logging.hpp"

namespace quarnix {

namespace {

// The requests to end the program: SIGINT until ignore_sigint; a quit from
// the terminal is one as well, rather than an end that leaves files behind.
constexpr int termination_signals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

// A write to a pipe that nobody reads any more (the program's output piped
// into a `head` that has ended) asks the program to end as well, in order
// rather than with its tracer and files left behind. The kernel raises it in
// the thread that wrote, and the write then fails with EPIPE, which the log
// lines put up with. It is never held: held in the prefetch thread, it would
// stay pending there for ever and the request would be lost.
constexpr int closed_output_signal = SIGPIPE;

// Read by the signal handler, on whichever thread it runs.
std::atomic<pid_t> tracked_tracer{0};
std::atomic<int> requested_signal{0};
static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler may only use lock-free atomics");

void pass_on_termination(int signal) {
  const int saved_errno = errno;
  // The first request names the end: a write of the clean-up to a closed
  // output must not turn a SIGTERM into a SIGPIPE.
  int none = 0;
  requested_signal.compare_exchange_strong(none, signal);
  if (const pid_t tracer = tracked_tracer.load(); tracer > 0) ::kill(tracer, SIGTERM);
  errno = saved_errno;
}

// The requests to end the program that are passed on to the tracer, SIGKILL,
// and a closed output (the tracer shares the program's standard error).
bool ends_trace_on_purpose(int signal) {
  return signal == SIGKILL || signal == closed_output_signal ||
         std::ranges::find(termination_signals, signal) != std::ranges::end(termination_signals);
}

sigset_t termination_set() {
  sigset_t set;
  sigemptyset(&set);
  for (const int signal : termination_signals)
    sigaddset(&set, signal);
  return set;
}

// Names the tracer child that a request to end the program is passed on to,
// as SIGTERM; a request that came before is passed on now.
void track_tracer(pid_t tracer) {
  tracked_tracer.store(tracer);
  // The handler may have run before the store, and seen no tracer.
  if (requested_signal.load() != 0) ::kill(tracer, SIGTERM);
}

// Only the signals still handled: one that the program ignores by then
// (SIGINT, in the recorder) stays ignored in the tracer. A closed output
// stays handled until the exec, which sets a handled signal back to its
// default, so that the child's ERROR line on a closed standard error does
// not pass for a tracer killed by a closed output.
void restore_default_termination() {
  for (const int signal : termination_signals) {
    struct sigaction current {};
    if (sigaction(signal, nullptr, &current) != 0) throw RuntimeError("sigaction()", errno);
    if (current.sa_handler != pass_on_termination) continue;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    if (sigaction(signal, &action, nullptr) != 0) throw RuntimeError("sigaction()", errno);
  }
}

std::string signal_name(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation ? std::string("SIG") + abbreviation : std::to_string(signal);
}

}  // namespace

void end_tracer_on_termination() {
  struct sigaction action {};
  action.sa_handler = pass_on_termination;
  action.sa_mask = termination_set();
  action.sa_flags = SA_RESTART;
  for (const int signal : termination_signals)
    if (sigaction(signal, &action, nullptr) != 0) throw RuntimeError("sigaction()", errno);
  if (sigaction(closed_output_signal, &action, nullptr) != 0)
    throw RuntimeError("sigaction()", errno);
}

TerminationSignalsHeld::TerminationSignalsHeld() {
  const sigset_t termination = termination_set();
  if (const int error = pthread_sigmask(SIG_BLOCK, &termination, &previous); error != 0)
    throw RuntimeError("pthread_sigmask()", error);
}

TerminationSignalsHeld::~TerminationSignalsHeld() {
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

pid_t fork_tracer() {
  // Held across the fork: the child would otherwise run the handler until
  // its exec, and take a request meant for the tracer as one that finds no
  // tracer yet; the parent acts on a request only once it knows the child.
  const TerminationSignalsHeld held;
  const pid_t tracer = ::fork();
  if (tracer < 0) throw RuntimeError("fork()", errno);
  if (tracer == 0)
    restore_default_termination();
  else
    track_tracer(tracer);
  return tracer;
}

void end_tracer_after_failure() {
  // Not yet reaped (wait_for_tracer_end gives it up only after the reap), so
  // the pid is still the tracer's.
  if (const pid_t tracer = tracked_tracer.exchange(0); tracer > 0) ::kill(tracer, SIGTERM);
}

int termination_status() {
  const int signal = requested_signal.load();
  return signal == 0 ? 0 : 128 + signal;
}

std::optional<int> wait_for_tracer_end(pid_t tracer, bool block) {
  siginfo_t info{};
  // WNOWAIT leaves the ended tracer unreaped, so that its pid cannot go to
  // another process while the handler may still signal it.
  while (::waitid(P_PID, static_cast<id_t>(tracer), &info,
                  WEXITED | WNOWAIT | (block ? 0 : WNOHANG)) != 0)
    if (errno != EINTR) throw RuntimeError("waitpid()", errno);
  if (info.si_pid != tracer) return std::nullopt;
  tracked_tracer.store(0);
  int status = 0;
  while (::waitpid(tracer, &status, 0) != tracer)
    if (errno != EINTR) throw RuntimeError("waitpid()", errno);
  return status;
}

int end_tracer(pid_t tracer) {
  if (const auto status = wait_for_tracer_end(tracer, false)) return *status;
  if (::kill(tracer, SIGTERM) != 0) throw RuntimeError("kill()", errno);
  return *wait_for_tracer_end(tracer, true);
}

bool tracer_failed(int wait_status) {
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) != 0) {
    log_error("Tracer returned non-zero exit status, aborting.\n");
    return true;
  }
  if (WIFSIGNALED(wait_status) && !ends_trace_on_purpose(WTERMSIG(wait_status))) {
    log_error(boost::format("Tracer was killed by %s (%s), aborting.") %
              signal_name(WTERMSIG(wait_status)) % strsignal(WTERMSIG(wait_status)));
    return true;
  }
  return false;
}

}  // namespace quarnix
