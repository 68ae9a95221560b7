// How a tracing program ends its tracer, and what it makes of the tracer's end.
#pragma once

#include <sys/types.h>

#include <optional>

namespace quarnix {

// From now on SIGTERM and SIGHUP end the tracer (once track_tracer has named
// it) rather than the program at once: the program handles that end as any
// other, then leaves with termination_status(). Interrupted system calls are
// restarted. Throws RuntimeError "sigaction()".
void end_tracer_on_termination();

// Names the tracer child that such a request is passed on to, as SIGTERM; a
// request that came before is passed on now.
void track_tracer(pid_t tracer);

// 0, or 128 + the signal that asked the program to end.
int termination_status();

// The tracer's wait status once it has ended; with `block` false, none while
// it still runs. An ended tracer is no longer signalled: its pid is given up
// only after that. Throws RuntimeError "waitpid()".
std::optional<int> wait_for_tracer_end(pid_t tracer, bool block);

// Whether the tracer's end is a failure, after its ERROR line: a non-zero exit
// code, or a signal other than those that end a trace on purpose (SIGTERM,
// SIGINT, SIGHUP, SIGKILL), such as a fault of the tracer.
bool tracer_failed(int wait_status);

}  // namespace quarnix
