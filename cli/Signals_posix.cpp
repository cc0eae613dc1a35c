#include "cli/Signals.h"

#include <QProcess>
#include <csignal>
#include <cstdlib>
#include <signal.h>

namespace {
volatile std::sig_atomic_t stopSignal = 0;
extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
}
} // namespace

const char StopHelp[] =
    "Nur der Benutzer oder das Gerät beenden eine Übertragung: eine geschlossene\n"
    "Pipe oder ein geschlossenes Terminal (SIGPIPE, SIGHUP) nicht. SIGINT (Strg-C)\n"
    "und SIGTERM halten am Ende eines Frames an, auch während Wiederholungen;\n"
    "q7310flash meldet das Ergebnis und endet dann durch dasselbe Signal (die\n"
    "Shell zeigt 130 bzw. 143), damit ein aufrufendes Skript auch anhält.\n";

void HandleSignals() {
    // What cannot be written is dropped; the run goes on to its end.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    // Restarted, so that a signal never fails a read or write of the port half-way.
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

int StopSignal() {
    return stopSignal;
}

int StoppedExitCode(int signal) {
    return 128 + signal; // as a shell shows it
}

void EndBySignal(int signal) {
    std::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    std::raise(signal);
    std::_Exit(StoppedExitCode(signal)); // where raising it does not end the process
}

const char *SignalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "signal";
}

void PrepareChild(QProcess &child) {
    Q_UNUSED(child);
}

void PassStop(QProcess &child) {
    if (child.state() != QProcess::NotRunning) ::kill(pid_t(child.processId()), StopSignal());
}
