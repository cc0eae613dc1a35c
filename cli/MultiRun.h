#pragma once
// Several instruments at once: one child process per port runs the single-port transfer, so a
// fault on one line cannot touch another. The parent reads the image once and hands it to every
// child, shows a row per port and a summary with each port's reason, passes a stop signal on to
// every child, and ends with the worst outcome.

#include "cli/ConsoleRun.h"

#include <QList>
#include <QObject>
#include <QProcess>
#include <QStringList>

class MultiRun : public QObject {
    Q_OBJECT
public:
    MultiRun(const QStringList &ports, FlashOptions options, const ImageInput &image,
             QObject *parent = nullptr);

    // Runs every port to its end and returns the worst exit code.
    int exec();

private:
    struct Port {
        QString name;
        QProcess *process = nullptr;
        QByteArray pending; // a JSON line not yet complete
        int percent = 0;
        QString state;
        QString reason; // why it ended so, for a machine ("no-reply")
        QString cause;  // what went wrong, in words: the last question, or what it said
        bool asked = false;
        int exitCode = -1;
        double seconds = 0;
    };
    void take(Port &port, const QByteArray &line);
    void finished(Port &port, int exitCode, QProcess::ExitStatus status);
    void draw();
    void summary(int worst);
    void say(const QString &line);

    FlashOptions o_;
    const ImageInput &image_;
    QList<Port> ports_;
    int running_ = 0;
    int drawnLines_ = 0;
    bool dirty_ = false;
};
