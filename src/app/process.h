// What a process of the presentation asks of the system besides drawing and sound: SIGINT,
// SIGTERM and SIGHUP caught as a request to stop, which the frame loops look at between frames,
// and a wait for a child process that gives up after a while.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

namespace qm {

// Catches SIGINT, SIGTERM and SIGHUP (where the system has them) for caughtStopSignal, with
// interrupted calls restarted, so a signal during a blocking write cannot cut it short. SIGPIPE
// and SIGXFSZ are ignored where they exist: a closed pipe or socket, or a file past its size
// limit, then fails the write with a reason instead of ending the process silently.
void catchStopSignals();

// The first of the caught signals that arrived; 0 while none has.
int caughtStopSignal();

#ifndef _WIN32
// Waits at most `seconds` for the child `pid` to end; true with its wait status in `status` once
// it has, or when there is no such child to wait for (the status is then left as it was).
bool waitForChild(pid_t pid, double seconds, int& status);
#endif

} // namespace qm
