#pragma once
// A programming run with what it is made of, assembled in one place for every front (the window,
// q7310flash, tests, benchmarks): the judge of replies, the reply reception, the command routine
// and the run itself, around a port, a reply timer, a monitor, a front and the boxes.

#include "protocol/Module1.h"
#include "protocol/ReplyJudge.h"
#include "protocol/ReplyReception.h"
#include "transfer/ProgrammingRun.h"

#include <QStringList>
#include <memory>

class RunTimer;
class SerialComm;

struct RunParts {
    // Timer1: the reply timer, on the clock the run waits by.
    // port: the one to use, or null for the real one (a serial port or a device server), ComN then
    // found in linkDirs.
    // lineSettings: the port's settings for a run; empty: the instrument's.
    RunParts(TransferState &st, RunTimer &Timer1, TrafficMonitor &monitor, RunFront &front,
             MessageBoxes &boxes, SerialComm *port, const QStringList &linkDirs,
             const QString &lineSettings = {});
    ~RunParts();
    RunParts(const RunParts &) = delete;
    RunParts &operator=(const RunParts &) = delete;

private:
    std::unique_ptr<SerialComm> ownPort_;

public:
    SerialComm &comm;
    ReplyJudge judge;
    ReplyReception reception;
    Module1 module;
    ProgrammingRun run;
};
