#include "serial/ReplyReception.h"

#include "protocol/Frames.h"
#include "serial/SerialComm.h"
#include "serial/TrafficMonitor.h"

#include <QTimer>

ReplyReception::ReplyReception(TransferState &st, SerialComm &comm1, QTimer &timer1,
                               TrafficMonitor &monitor, QObject *parent)
    : QObject(parent), st_(st), comm1_(comm1), timer1_(timer1), monitor_(monitor) {
    // A coarse timer may fire 5 % early: a slow instrument would lose part of its time.
    timer1_.setTimerType(Qt::PreciseTimer);
    connect(&comm1_, &SerialComm::OnComm, this, &ReplyReception::Comm1_OnComm);
    connect(&timer1_, &QTimer::timeout, this, &ReplyReception::Timer1_Timer);
    connect(&comm1_, &SerialComm::Failed, this, &ReplyReception::portFailed);
}

void ReplyReception::expectReplyAfter(std::chrono::nanoseconds crossing) {
    // Nine tenths, so that a real reply is never refused for a clock that runs a little fast.
    // Our own delays (a write that goes out late, bytes seen late) only make a reply look later.
    earliest_ = std::chrono::steady_clock::now() + crossing * 9 / 10;
}

void ReplyReception::Comm1_OnComm() {
    // Bytes no frame is waiting for stay at the port: the exchange counts them before its next
    // send, so a late reply never answers a later frame.
    if (st_.ReplyPending != 1) return;
    const int waiting = comm1_.InBufferCount();
    if (waiting > 0 && std::chrono::steady_clock::now() < earliest_) {
        // The instrument cannot answer a frame it has not received in full: these bytes belong
        // to an earlier frame or are noise.
        comm1_.Input();
        st_.ReplyDoubtful = true;
        endWait();
        return;
    }
    if (waiting < st_.ReplyLength) return;
    timer1_.stop();
    timer1_.setInterval(ReplyTimeoutMs);
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
