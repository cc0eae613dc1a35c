#include "cli/Signals.h"

#include <QProcess>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <windows.h>

namespace {
// What a console program ends with when Ctrl-C ends it.
constexpr int ControlCExit = int(0xC000013AL);
// The console closing: the handler may hold the process this long (Windows allows about five
// seconds) while the run stops at a frame boundary and says how it ended.
constexpr DWORD CloseGraceMs = 4000;

std::atomic<int> stopSignal{0};
HANDLE ended = nullptr; // set once the process is about to end

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        stopSignal = SIGINT;
        return TRUE;
    case CTRL_BREAK_EVENT:
        stopSignal = SIGBREAK;
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Windows ends the process as soon as this returns: it waits for the run first.
        stopSignal = SIGTERM;
        if (ended) ::WaitForSingleObject(ended, CloseGraceMs);
        return TRUE;
    default:
        return FALSE;
    }
}
} // namespace

const char StopHelp[] =
    "Nur der Benutzer oder das Gerät beenden eine Übertragung: eine geschlossene\n"
    "Pipe nicht. Strg-C, Strg-Pause und das Schließen der Konsole halten am Ende\n"
    "eines Frames an, auch während Wiederholungen; q7310flash meldet das Ergebnis\n"
    "und endet dann wie ein mit Strg-C beendetes Programm (Exit-Code 0xC000013A),\n"
    "damit ein aufrufendes Skript auch anhält.\n";

void HandleSignals() {
    ended = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ::SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int StopSignal() {
    return stopSignal;
}

int StoppedExitCode(int signal) {
    Q_UNUSED(signal);
    return ControlCExit;
}

void EndBySignal(int signal) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (ended) ::SetEvent(ended);
    ::ExitProcess(UINT(StoppedExitCode(signal)));
}

const char *SignalName(int signal) {
    return signal == SIGINT     ? "CTRL_C_EVENT"
           : signal == SIGBREAK ? "CTRL_BREAK_EVENT"
           : signal == SIGTERM  ? "CTRL_CLOSE_EVENT"
                                : "signal";
}

void PrepareChild(QProcess &child) {
    // A group of its own, so that Ctrl-Break can be sent to it alone; the console's Ctrl-C
    // reaches the parent, which passes it on.
    child.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *args) {
        args->flags |= CREATE_NEW_PROCESS_GROUP;
    });
}

void PassStop(QProcess &child) {
    if (child.state() != QProcess::NotRunning)
        ::GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, DWORD(child.processId()));
}
