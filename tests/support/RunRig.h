#pragma once
// The real main window (offscreen) with the simulated instrument on Com1, boxes and the file
// dialog answered by the test.

#include "shell/Application.h"
#include "support/HexBuilder.h"
#include "support/SimRig.h"

#include <QAction>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardPaths>
#include <QTemporaryDir>

inline q7310sim::Options AtBaud(int baud) {
    q7310sim::Options o;
    o.baud = baud;
    return o;
}

struct RunRig {
    explicit RunRig(int baud = 0) : sim(AtBaud(baud)) {}

    QTemporaryDir dir;
    q7310sim::Simulator sim;
    ScriptedBoxes boxes;
    ScriptedFileDialog dialog;
    std::unique_ptr<Application> app;
    frmQ7310Flasher *w = nullptr;

    bool start(QString *why) {
        if (!startSimulator(sim, dir, 1, why)) return false;
        app = std::make_unique<Application>(dir.path(), FlasherSeams{&boxes, &dialog, nullptr, {}});
        app->showMainWindow();
        w = app->mainWindow();
        return w != nullptr;
    }

    QString writeImage(const QList<QByteArray> &lines, const QString &name = "fw.a35") {
        const QString path = dir.filePath(name);
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(hexfile::join(lines));
        return path;
    }

    void rules(const QStringList &texts) { QVERIFY(AddRules(sim, texts)); }

    QList<q7310sim::FrameKind> kinds() const {
        QList<q7310sim::FrameKind> k;
        for (const auto &f : sim.frames())
            k << f.kind;
        return k;
    }
};

#define START_RUN_RIG(rig)                                                                         \
    do {                                                                                           \
        QString why_;                                                                              \
        if (!(rig).start(&why_))                                                                   \
            QSKIP(qPrintable(QStringLiteral("no pseudo-terminal here: ") + why_));                 \
    } while (false)
