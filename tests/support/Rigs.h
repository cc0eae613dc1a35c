#pragma once
// A simulated instrument on a pseudo-terminal, reached as Com1 through a link in a temporary
// program directory: with the real port, timers and protocol routines around it (SimRig), or
// with the whole main window (RunRig).

#include "serial/QtSerialComm.h"
#include "shell/Application.h"
#include "simulator/Simulator.h"
#include "support/HexBuilder.h"
#include "support/Parts.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>

// A quick test's line, for simulator and port alike; nothing about timing follows from it.
constexpr int FastLine = 1000000;
inline q7310sim::Options Fast(q7310sim::Options o = {}) {
    o.baud = FastLine;
    return o;
}

struct SimBase {
    explicit SimBase(q7310sim::Options options)
        : lineSettings(QStringLiteral("%1,e,8,1").arg(options.baud)), sim(std::move(options)) {}

    QString lineSettings; // the simulator's line, as the port opens it

    QTemporaryDir dir;
    q7310sim::Simulator sim;
    QtSerialComm port{QStringList{dir.path()}};
    QString problem; // what went wrong in setting up, beyond a missing pseudo-terminal

    // Starts the simulator as comN; false (with the reason) where no pseudo-terminal exists.
    bool startSim(QString *why, int n = 1) {
        std::string error;
        if (!sim.start(error)) {
            *why = QString::fromStdString(error);
            return false;
        }
        if (!QFile::link(QString::fromStdString(sim.devicePath()),
                         dir.filePath(QStringLiteral("com%1").arg(n))))
            problem = QStringLiteral("cannot link com%1").arg(n);
        return true;
    }
    // Misbehaviour rules as q7310sim takes them ("3:noreply", "data:status=16").
    void rules(const QStringList &texts) {
        for (const QString &text : texts) {
            q7310sim::Rule r;
            std::string error;
            QVERIFY2(q7310sim::ParseRule(text.toStdString(), r, error), error.c_str());
            sim.addRule(r);
        }
    }
    int framesSeen() const { return int(sim.frames().size()); }
};

// Skips where no pseudo-terminal exists; fails when the rig cannot be set up otherwise.
#define START_RIG(rig, ...)                                                                        \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!(rig).start(&why_ __VA_OPT__(, ) __VA_ARGS__))                                        \
            QSKIP(qPrintable(QStringLiteral("no pseudo-terminal here: ") + why_));                 \
        QVERIFY2((rig).problem.isEmpty(), qPrintable((rig).problem));                              \
    } while (false)

struct SimRig : SimBase, Parts {
    explicit SimRig(q7310sim::Options options = {}) : SimBase(std::move(options)), Parts(port) {}

    // Starts the simulator with its rules and opens Com1 as a run does.
    bool start(QString *why, const QStringList &ruleTexts = {}) {
        if (!startSim(why)) return false;
        rules(ruleTexts);
        comm.CommPort = 1;
        comm.Settings = lineSettings;
        if (!comm.setPortOpen(true)) problem = comm.openError();
        comm.RThreshold = 1;
        return true;
    }
};

struct RunRig : SimBase {
    explicit RunRig(q7310sim::Options options = {}) : SimBase(std::move(options)) {}

    ScriptedBoxes boxes;
    ScriptedFileDialog dialog;
    int ended = 0; // times the program was ended
    std::unique_ptr<Application> app;
    frmQ7310Flasher *w = nullptr;

    bool start(QString *why, int port = 1) {
        if (!startSim(why, port)) return false;
        app =
            std::make_unique<Application>(dir.path(), FlasherSeams{.boxes = &boxes,
                                                                   .fileDialog = &dialog,
                                                                   .terminate = [this] { ++ended; },
                                                                   .lineSettings = lineSettings});
        app->showMainWindow();
        w = app->mainWindow();
        return true;
    }
    QString writeImage(const QList<QByteArray> &lines) {
        return hexfile::WriteImage(dir.path(), lines);
    }
};
