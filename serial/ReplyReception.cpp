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

void ReplyReception::Comm1_OnComm() {
    // Bytes no frame is waiting for stay at the port: the exchange drops them before its next
    // send, so a late reply never answers a later frame.
    if (st_.ReplyPending != 1) return;
    if (comm1_.InBufferCount() < st_.ReplyLength) return;
    st_.ReplyPending = 0;
    timer1_.stop();
    timer1_.setInterval(ReplyTimeoutMs);
    st_.ReplyData = comm1_.Input();
    if (monitor_.monitorOn()) monitor_.setReplyText(MonitorHex(st_.ReplyData));
    emit waitEnded();
}

void ReplyReception::Timer1_Timer() {
    st_.ReplyPending = 0;
    emit waitEnded();
}

// A dead port will never answer: end the wait now rather than at the time-out.
void ReplyReception::portFailed() {
    st_.ReplyPending = 0;
    emit waitEnded();
}
