#include "cli/Signals.h"

#include <QtGlobal>
#include <csignal>
#include <cstdlib>

namespace {
volatile std::sig_atomic_t stopSignal = 0;
extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
}
} // namespace

void HandleSignals() {
#if defined(Q_OS_UNIX)
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
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
}

int StopSignal() {
    return stopSignal;
}

void EndBySignal(int signal) {
    std::signal(signal, SIG_DFL);
#if defined(Q_OS_UNIX)
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
#endif
    std::raise(signal);
    std::_Exit(128 + signal); // where raising it does not end the process
}

const char *SignalName(int signal) {
    return signal == SIGINT ? "SIGINT" : signal == SIGTERM ? "SIGTERM" : "signal";
}
