#pragma once
// The simulated instrument in simulated time, at the real line speed: the run's own code waits on
// a clock that jumps to what happens next, so a test of timing is exact and fast however busy the
// machine is. With the port, timers and protocol routines around it (VirtualRig), or with the
// whole main window (VirtualRunRig).

#include "shell/Application.h"
#include "simulator/VirtualLine.h"
#include "support/HexBuilder.h"
#include "support/Parts.h"

#include <QFile>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

struct VirtualBase {
    explicit VirtualBase(q7310sim::Options options = {})
        : lineSettings(QStringLiteral("%1,e,8,1").arg(options.baud)),
          instrument(std::move(options)), port(time, instrument) {}

    QString lineSettings; // the instrument's line, as the port opens it
    VirtualTime time;
    q7310sim::Instrument instrument;
    VirtualComm port;

    // Misbehaviour rules as q7310sim takes them ("3:noreply", "data:status=16").
    void rules(const QStringList &texts) {
        for (const QString &text : texts) {
            q7310sim::Rule r;
            std::string error;
            QVERIFY2(q7310sim::ParseRule(text.toStdString(), r, error), error.c_str());
            instrument.addRule(r);
        }
    }
    int framesSeen() const { return instrument.frameCount(); }
    const std::vector<q7310sim::ReceivedFrame> &frames() const { return instrument.frames(); }
    hexfile::Memory memory() const { return instrument.flash().bytes(); }
    q7310sim::FrameKind lastTaken() const { return instrument.lastTaken(); }
    // The simulated time since the rig was made, in ms.
    double ms() const { return std::chrono::duration<double, std::milli>(time.elapsed()).count(); }
};

struct VirtualRig : VirtualBase, Parts {
    explicit VirtualRig(q7310sim::Options options = {})
        : VirtualBase(std::move(options)), Parts(port, time) {
        comm.Settings = lineSettings;
        comm.setPortOpen(true);
        comm.RThreshold = 1;
    }
};

struct VirtualRunRig : VirtualBase {
    explicit VirtualRunRig(q7310sim::Options options = {}) : VirtualBase(std::move(options)) {
        app =
            std::make_unique<Application>(dir.path(), FlasherSeams{.boxes = &boxes,
                                                                   .fileDialog = &dialog,
                                                                   .comm = &port,
                                                                   .terminate = [this] { ++ended; },
                                                                   .lineSettings = lineSettings,
                                                                   .clock = &time});
        app->showMainWindow();
        w = app->mainWindow();
    }

    QTemporaryDir dir;
    ScriptedBoxes boxes;
    ScriptedFileDialog dialog;
    int ended = 0; // times the program was ended
    std::unique_ptr<Application> app;
    frmQ7310Flasher *w = nullptr;

    QString writeImage(const QList<QByteArray> &lines) {
        return hexfile::WriteImage(dir.path(), lines);
    }
};
