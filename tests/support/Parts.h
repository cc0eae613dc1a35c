#pragma once
// A run assembled as every front assembles it, with what it borrows (reply timer, monitor, boxes,
// a front that keeps what it is told), around a port of the test's choosing.

#include "protocol/Frames.h"
#include "protocol/TrafficMonitor.h"
#include "serial/SerialComm.h"
#include "support/Scripted.h"
#include "transfer/RunParts.h"

#include <memory>

struct TestMonitor : TrafficMonitor {
    bool on = false;
    QString sent = QStringLiteral("untouched");
    QString reply = QStringLiteral("untouched");
    bool monitorOn() const override { return on; }
    void setSentText(const QString &text) override { sent = text; }
    void setReplyText(const QString &text) override { reply = text; }
};

// A front that writes down what it is told, in order ("box" where a box opens).
struct TestFront : RunFront {
    QStringList told;
    bool contactOn = false;
    void contact(bool on) override {
        contactOn = on;
        told << (on ? "contact on" : "contact off");
    }
    void noReply(bool shown) override { told << (shown ? "silent" : "answering"); }
    void startSent() override { told << "start sent"; }
    void portHeld(bool held) override { told << (held ? "held" : "free"); }
    void progress(int line, int total) override {
        told << QStringLiteral("%1/%2").arg(line).arg(total);
    }
    void ended(RunOutcome outcome) override {
        told << QStringLiteral("ended %1").arg(int(outcome));
    }
};

struct Parts {
    explicit Parts(SerialComm &port, RunClock &clock = RunClock::Real())
        : comm(port), Timer1(clock) {
        boxes.whileOpen = [this](const ShownBox &) { front.told << "box"; };
    }

    SerialComm &comm;
    TransferState st;
    TestMonitor monitor;
    ScriptedBoxes boxes;
    TestFront front;
    RunTimer Timer1;
    RunParts parts{st, Timer1, monitor, front, boxes, &comm, {}};
    ReplyJudge &judge = parts.judge;
    ReplyReception &reception = parts.reception;
    Module1 &module = parts.module;
};
