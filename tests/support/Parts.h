#pragma once
// The protocol routines with the controls they borrow (timers, status row, monitor, boxes),
// around a port of the test's choosing.

#include "protocol/Frames.h"
#include "protocol/Module1.h"
#include "serial/ReplyReception.h"
#include "serial/SerialComm.h"
#include "serial/TrafficMonitor.h"
#include "status/StatusRow.h"
#include "support/Scripted.h"

#include <QTimer>
#include <memory>

struct TestMonitor : TrafficMonitor {
    bool on = false;
    QString sent = QStringLiteral("untouched");
    QString reply = QStringLiteral("untouched");
    bool monitorOn() const override { return on; }
    void setSentText(const QString &text) override { sent = text; }
    void setReplyText(const QString &text) override { reply = text; }
};

struct Parts {
    explicit Parts(SerialComm &port) : comm(port) {
        st.FrameByte1 = Frames::FrameByte1Value;
        Timer1.setInterval(ReplyReception::ReplyTimeoutMs);
        row->show();
    }

    SerialComm &comm;
    TransferState st;
    TestMonitor monitor;
    ScriptedBoxes boxes;
    QTimer Timer1, Timer3;
    ReplyReception reception{st, comm, Timer1, monitor};
    std::unique_ptr<QWidget> row = std::make_unique<QWidget>();
    PictureBox *Image2 = new PictureBox(row.get());
    PictureBox *Image3 = new PictureBox(row.get());
    PictureBox *Image4 = new PictureBox(row.get());
    PictureBox *Image5 = new PictureBox(row.get());
    PictureBox *Image6 = new PictureBox(row.get());
    StatusRow pictures{st, Image2, Image3, Image4, Image5, Image6};
    Module1 module{st,
                   Module1::Controls{comm, Timer1, Timer3, monitor, reception, pictures, boxes}};
};
