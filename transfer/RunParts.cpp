#include "transfer/RunParts.h"

#include "protocol/Frames.h"
#include "protocol/RunClock.h"
#include "serial/ComPort.h"

namespace {
SerialComm *madePort(SerialComm *given, const QStringList &linkDirs) {
    return given ? nullptr : new ComPort(linkDirs);
}
} // namespace

// Who sets Timer1's interval: this constructor the one between runs (300 ms); the command
// routine the one for a start attempt (3000 ms); the receive handler the one after each
// complete reply (300 ms again).
RunParts::RunParts(TransferState &st, RunTimer &Timer1, TrafficMonitor &monitor, RunFront &front,
                   MessageBoxes &boxes, SerialComm *port, const QStringList &linkDirs,
                   const QString &lineSettings)
    : ownPort_(madePort(port, linkDirs)), comm(port ? *port : *ownPort_), judge(Timer1.clock()),
      reception(st, comm, Timer1, monitor, judge),
      module(st, Module1::Controls{comm, Timer1, monitor, reception, judge, front, boxes}),
      run(st, RunControls{comm, boxes, module, judge, front}) {
    st.FrameByte1 = Frames::FrameByte1Value;
    Timer1.setInterval(ReplyReception::ReplyTimeoutMs);
    if (!lineSettings.isEmpty()) run.LineSettings = lineSettings;
}

RunParts::~RunParts() {
    comm.setPortOpen(false);
}
