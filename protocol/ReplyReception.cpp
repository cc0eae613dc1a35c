#include "protocol/ReplyReception.h"

#include "protocol/Frames.h"
#include "protocol/ReplyJudge.h"
#include "protocol/RunClock.h"
#include "protocol/TrafficMonitor.h"
#include "serial/SerialComm.h"


ReplyReception::ReplyReception(TransferState &st, SerialComm &comm1, RunTimer &timer1,
                               TrafficMonitor &monitor, ReplyJudge &judge, QObject *parent)
    : QObject(parent), st_(st), comm1_(comm1), timer1_(timer1), monitor_(monitor), judge_(judge) {
    connect(&comm1_, &SerialComm::OnComm, this, &ReplyReception::Comm1_OnComm);
    connect(&timer1_, &RunTimer::timeout, this, &ReplyReception::Timer1_Timer);
    connect(&comm1_, &SerialComm::Failed, this, &ReplyReception::portFailed);
}

void ReplyReception::Comm1_OnComm() {
    // Bytes no frame is waiting for stay at the port: the exchange counts them before its next
    // send, so a late reply never answers a later frame.
    if (st_.ReplyPending != 1) return;
    const int waiting = comm1_.InBufferCount();
    if (waiting > 0 && judge_.tooSoon(judge_.clock().now())) {
        // These bytes belong to an earlier frame or are noise.
        const QByteArray early = comm1_.Input();
        judge_.foreign(early.isEmpty() ? QByteArray(waiting, '\0') : early,
                       Heard::Where::TooSoon);
        endWait();
        return;
    }
    if (waiting < st_.ReplyLength) return;
    timer1_.stop();
    // Timer1's interval between replies: 300 ms again after every complete reply.
    timer1_.setInterval(ReplyTimeoutMs);
    judge_.replyTaken(judge_.clock().now());
    st_.ReplyData = comm1_.Input();
    if (monitor_.monitorOn()) monitor_.setReplyText(MonitorHex(st_.ReplyData));
    endWait();
}

void ReplyReception::Timer1_Timer() {
    endWait();
}

// A dead port will never answer: end the wait now rather than at the time-out.
void ReplyReception::portFailed() {
    endWait();
}

void ReplyReception::endWait() {
    st_.ReplyPending = 0;
    emit waitEnded();
}
