#pragma once
// Only the user or the instrument ends a transfer: a reader that goes away (SIGPIPE, a failed
// write) or a terminal that closes (SIGHUP) does not. A stop (SIGINT and SIGTERM; on Windows
// Ctrl-C, Ctrl-Break and the console closing) asks the run to stop at the next frame boundary;
// once it has said how it ended, the process ends as a program stopped so ends (by that same
// signal; on Windows with STATUS_CONTROL_C_EXIT), so that a calling script stops too.

class QProcess;

// Installs the handling above; call before anything else is done.
void HandleSignals();
// The stop received (SIGINT, SIGTERM; on Windows as SIGINT, SIGBREAK, SIGTERM for the console
// closing), 0 while there is none.
int StopSignal();
inline bool StopSignalled() {
    return StopSignal() != 0;
}
// The exit status a caller sees of a process that was stopped so.
int StoppedExitCode(int signal);
// Ends the process by that stop, as if it had not been caught.
[[noreturn]] void EndBySignal(int signal);
// "SIGINT", "SIGTERM"; on Windows "CTRL_C_EVENT", ...
const char *SignalName(int signal);
// What --help says of the above, in the system's words.
extern const char StopHelp[];
// A child that runs a port of its own is set up to be stopped the system's way, and told to stop.
void PrepareChild(QProcess &child);
void PassStop(QProcess &child);
