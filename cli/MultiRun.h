#pragma once
// Several instruments at once: one child process per port runs the single-port transfer, so a
// fault on one line cannot touch another. The parent shows a line per port and a summary, and
// ends with the worst outcome.

#include "cli/ConsoleRun.h"

#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

class MultiRun : public QObject {
    Q_OBJECT
public:
    MultiRun(const QStringList &ports, FlashOptions options, QObject *parent = nullptr);

    // Runs every port to its end and returns the worst exit code.
    int exec();

private:
    struct Port {
        QString name;
        QProcess *process = nullptr;
        QByteArray pending; // a JSON line not yet complete
        int percent = 0;
        QString state;
        int exitCode = -1;
        double seconds = 0;
    };
    void take(Port &port, const QByteArray &line);
    void finished(Port &port, int exitCode, QProcess::ExitStatus status);
    void draw();
    void summary(int worst);
    void say(const QString &line);

    FlashOptions o_;
    QList<Port> ports_;
    int running_ = 0;
    int drawnLines_ = 0;
    bool dirty_ = false;
};
