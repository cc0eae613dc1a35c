#pragma once
// The receive handler of Comm1 and the tick of the reply timer Timer1: the only two places that
// end the wait for a reply.

#include "protocol/TransferState.h"

#include <QObject>

class RunTimer;
class SerialComm;
class TrafficMonitor;
class ReplyJudge;

class ReplyReception : public QObject {
    Q_OBJECT
public:
    static constexpr int ReplyTimeoutMs = 300;

    ReplyReception(TransferState &st, SerialComm &comm1, RunTimer &timer1, TrafficMonitor &monitor,
                   ReplyJudge &judge, QObject *parent = nullptr);

    void Comm1_OnComm();
    void Timer1_Timer();

signals:
    // ReplyPending has just been set to 0: whoever waits may look at the reply.
    void waitEnded();

private:
    void portFailed();
    void endWait();

    TransferState &st_;
    SerialComm &comm1_;
    RunTimer &timer1_;
    TrafficMonitor &monitor_;
    ReplyJudge &judge_;
};
