#pragma once
// A simulated instrument on a pseudo-terminal, reached as Com1 through a link in a temporary
// program directory, with the real serial port, timers and protocol routines around it.

#include "protocol/Frames.h"
#include "protocol/Module1.h"
#include "serial/ReplyReception.h"
#include "serial/SerialComm.h"
#include "serial/TrafficMonitor.h"
#include "simulator/Simulator.h"
#include "status/StatusRow.h"
#include "support/Scripted.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
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

// Starts a simulator and links it as comN in dir; false where no pseudo-terminal can be had.
inline bool startSimulator(q7310sim::Simulator &sim, const QTemporaryDir &dir, int n,
                           QString *why = nullptr) {
    std::string error;
    if (!sim.start(error)) {
        if (why) *why = QString::fromStdString(error);
        return false;
    }
    return QFile::link(QString::fromStdString(sim.devicePath()),
                       dir.filePath(QStringLiteral("com%1").arg(n)));
}

// Misbehaviour rules as q7310sim takes them ("3:noreply", "data:status=16"); false on a bad one.
inline bool AddRules(q7310sim::Simulator &sim, const QStringList &rules) {
    for (const QString &text : rules) {
        q7310sim::Rule r;
        std::string error;
        if (!q7310sim::ParseRule(text.toStdString(), r, error)) return false;
        sim.addRule(r);
    }
    return true;
}

#define SKIP_WITHOUT_PTY(sim, dir)                                                                 \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!startSimulator(sim, dir, 1, &why_))                                                   \
            QSKIP(qPrintable(QStringLiteral("no pseudo-terminal here: ") + why_));                 \
    } while (false)

// Skips where no pseudo-terminal exists, else opens the rig with the given rules.
#define START_SIM_RIG(rig, ...)                                                                    \
    SKIP_WITHOUT_PTY((rig).sim, (rig).dir);                                                        \
    QVERIFY2((rig).open(__VA_ARGS__), qPrintable((rig).comm.openError()))

struct SimRig {
    QTemporaryDir dir;
    q7310sim::Simulator sim;
    TransferState st;
    TestMonitor monitor;
    ScriptedBoxes boxes;
    QTimer Timer1, Timer2, Timer3;
    QtSerialComm comm{dir.path()};
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

    SimRig() {
        st.FrameByte1 = Frames::FrameByte1Value;
        Timer1.setInterval(ReplyReception::ReplyTimeoutMs);
        Timer2.setInterval(200);
        Timer3.setInterval(200);
        QObject::connect(&Timer2, &QTimer::timeout, [this] { pictures.Timer2_Timer(); });
        QObject::connect(&Timer3, &QTimer::timeout, [this] { pictures.Timer3_Timer(); });
        row->show();
    }

    // Gives the simulator its rules, then opens Com1 as a run does.
    bool open(const QStringList &rules = {}) {
        if (!AddRules(sim, rules)) return false;
        comm.CommPort = 1;
        comm.Settings = QStringLiteral("38400,e,8,1");
        comm.InputLen = 0;
        if (!comm.setPortOpen(true)) return false;
        comm.RThreshold = 1;
        return true;
    }

    void prepareData(qint64 address, const QByteArray &data) {
        st.BlockAddress = address;
        st.BlockData = data;
        st.BlockSum = 0;
        for (char c : data)
            st.BlockSum += quint8(c);
    }

    int framesSeen() const { return int(sim.frames().size()); }
};
