// How a tracing program ends its tracer, and what it makes of the tracer's end.
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <optional>

namespace quarnix {

// From now on SIGTERM, SIGHUP, SIGQUIT, (until ignore_sigint) SIGINT and
// SIGPIPE, a write to a closed output, end the tracer (once fork_tracer has
// started it) rather than the program at once: the program handles that end
// as any other, then leaves with termination_status(); before there is a
// tracer, it ends at its next check of that status with nothing of its own
// left. Writes to the closed output fail from then on, and nothing is made of
// that. Interrupted system calls are restarted. Throws RuntimeError
// "sigaction()".
void end_tracer_on_termination();

// While it lives, those requests to end the program, but for a closed
// output, wait in the calling thread; a thread or child started meanwhile
// begins with them blocked.
class TerminationSignalsHeld {
 public:
  TerminationSignalsHeld();
  ~TerminationSignalsHeld();
  TerminationSignalsHeld(const TerminationSignalsHeld&) = delete;
  TerminationSignalsHeld& operator=(const TerminationSignalsHeld&) = delete;

 private:
  sigset_t previous;
};

// fork() for the tracer child: 0 in the child, which is to exec the tracer
// and has the requests that the program handles back at their default
// action, so that a request that reaches it before its exec (one sent to the
// process group, or passed on by the parent) ends it; the child's pid in the
// parent, where a request to end the program, also one that came before, is
// passed on to that child only once it is known. Throws RuntimeError "fork()".
pid_t fork_tracer();

// After a failure of the program: a tracer that still runs is sent SIGTERM,
// so that it does not outlive the program. Not waited for.
void end_tracer_after_failure();

// Runs `run`, the part of a tracing program from the creation of its lock
// file (and outputs) to its end, and returns its result. An exception that
// nothing handles reaches the terminate handler without unwinding, so it is
// caught here on its way, and goes on once the tracer is ended and
// `remove_files` has removed what the run created: in the program's own
// process only, since a forked child that fails before its exec shares the
// names but not the run.
template <typename Run, typename RemoveFiles>
int run_removing_files_after_failure(Run run, RemoveFiles remove_files) {
  const pid_t program = getpid();
  try {
    return run();
  } catch (...) {
    if (getpid() == program) {
      end_tracer_after_failure();
      remove_files();
    }
    throw;
  }
}

// 0, or 128 + the signal that asked the program to end.
int termination_status();

// The tracer's wait status once it has ended; with `block` false, none while
// it still runs. An ended tracer is no longer signalled: its pid is given up
// only after that. Throws RuntimeError "waitpid()".
std::optional<int> wait_for_tracer_end(pid_t tracer, bool block);

// The tracer's wait status once it has ended; one that still runs is sent
// SIGTERM first. Throws RuntimeError "kill()" or "waitpid()".
int end_tracer(pid_t tracer);

// Whether the tracer's end is a failure, after its ERROR line: a non-zero exit
// code, or a signal other than those that end a trace on purpose (SIGTERM,
// SIGINT, SIGHUP, SIGQUIT, SIGKILL, SIGPIPE), such as a fault of the tracer.
bool tracer_failed(int wait_status);

}  // namespace quarnix
