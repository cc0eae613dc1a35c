#pragma once
// Only the user or the instrument ends a transfer: a reader that goes away (SIGPIPE, a failed
// write) or a terminal that closes (SIGHUP) does not. SIGINT and SIGTERM ask the run to stop at
// the next frame boundary; once it has said how it ended, the process ends by that same signal,
// so that a calling script stops too.

// Installs the handling above; call before anything else is done.
void HandleSignals();
// The stop signal received (SIGINT or SIGTERM), 0 while there is none.
int StopSignal();
inline bool StopSignalled() {
    return StopSignal() != 0;
}
// Ends the process by that signal, as if it had not been caught.
[[noreturn]] void EndBySignal(int signal);
// "SIGINT", "SIGTERM".
const char *SignalName(int signal);
