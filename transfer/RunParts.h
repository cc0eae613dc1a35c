#pragma once
// A programming run with what it is made of, wired together: the reply reception, the command
// routine and the run itself, around a port, a reply timer, a monitor, a front and the boxes
// that the one who shows the run provides.

#include "protocol/Module1.h"
#include "serial/ReplyReception.h"
#include "transfer/ProgrammingRun.h"

struct RunParts {
    RunParts(TransferState &st, SerialComm &comm, QTimer &Timer1, TrafficMonitor &monitor,
             RunFront &front, MessageBoxes &boxes)
        : reception(st, comm, Timer1, monitor),
          module(st, Module1::Controls{comm, Timer1, monitor, reception, front, boxes}),
          run(st, RunControls{comm, boxes, module, front}) {}

    ReplyReception reception;
    Module1 module;
    ProgrammingRun run;
};
