#pragma once
// What q7310flash tells its caller: exit codes that keep apart what a script must act on
// differently, and the words for them.

#include "transfer/RunFront.h"

#include <QString>

namespace ExitCode {
constexpr int Success = 0;     // the instrument confirmed every frame
constexpr int Untouched = 1;   // nothing reached the instrument: its firmware is as it was
constexpr int Usage = 2;       // the command line was wrong; nothing was done
constexpr int Incomplete = 3;  // after a start command went out: it may be erased or incomplete
constexpr int Interrupted = 4; // stopped by SIGINT or SIGTERM (the process then ends by it)
} // namespace ExitCode

// The exit code of a run that ended so; startSent: a start frame went out in it.
int ExitCodeOf(RunOutcome outcome, bool startSent);
// Which of two exit codes is worse, for several instruments at once: may be incomplete, then
// interrupted, then untouched, then success. Codes not listed count as incomplete.
int WorseExitCode(int a, int b);
// "success", "untouched", ...: the outcome in JSON.
QString OutcomeName(int exitCode);
// The outcome in a few German words for the user.
QString OutcomeText(int exitCode, bool startSent);
// Why a run ended, for a machine: "no-reply", "port-busy", ...; empty for a completed run.
QString ReasonName(RunReason reason);
