#include "cli/MultiRun.h"

#include "cli/Outcome.h"
#include "cli/Print.h"
#include "cli/Record.h"
#include "cli/Signals.h"
#include "cli/Terminal.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <cstdio>

MultiRun::MultiRun(const QStringList &ports, FlashOptions options, const ImageInput &image,
                   QObject *parent)
    : QObject(parent), o_(std::move(options)), image_(image) {
    for (const QString &name : ports) {
        Port p;
        p.name = name;
        ports_.append(p);
    }
}

int MultiRun::exec() {
    QEventLoop loop;
    for (Port &p : ports_) {
        p.process = new QProcess(this);
        p.state = QStringLiteral("startet");
        connect(p.process, &QProcess::readyReadStandardOutput, this, [this, &p] {
            p.pending += p.process->readAllStandardOutput();
            for (qsizetype nl; (nl = p.pending.indexOf('\n')) >= 0;) {
                take(p, p.pending.left(nl));
                p.pending.remove(0, nl + 1);
            }
        });
        // What a child says besides its events: the traffic when asked for, or what is amiss.
        // Its own lines name its port already.
        connect(p.process, &QProcess::readyReadStandardError, this, [this, &p] {
            const QList<QByteArray> lines = p.process->readAllStandardError().split('\n');
            for (const QByteArray &l : lines)
                if (!l.trimmed().isEmpty()) print(stderr, QString::fromUtf8(l) + "\n");
            dirty_ = true;
        });
        connect(p.process, &QProcess::finished, this,
                [this, &p, &loop](int code, QProcess::ExitStatus status) {
                    finished(p, code, status);
                    if (--running_ == 0) loop.quit();
                });
        // The child reads the image from its standard input: the bytes read here once.
        QStringList args{QStringLiteral("--json"),
                         QStringLiteral("--retries"),
                         QString::number(o_.retries),
                         QStringLiteral("--port"),
                         p.name,
                         QStringLiteral("--image-name"),
                         o_.file};
        if (o_.verbose) args << QStringLiteral("--verbose");
        if (!o_.log.isEmpty()) args << QStringLiteral("--log") << o_.log;
        PrepareChild(*p.process);
        p.process->start(QCoreApplication::applicationFilePath(), args << QStringLiteral("-"));
        p.process->write(image_.bytes);
        p.process->closeWriteChannel();
        ++running_;
    }
    // A stop signal is passed on to every child, which stops at its next frame boundary.
    QTimer watch;
    bool passedOn = false;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (!passedOn && StopSignalled()) {
            passedOn = true;
            for (Port &p : ports_)
                PassStop(*p.process);
        }
        if (dirty_) draw();
    });
    watch.start(100);
    if (running_ > 0) loop.exec();
    draw();

    int worst = ExitCode::Success;
    for (const Port &p : ports_)
        worst = WorseExitCode(worst, p.exitCode);
    summary(worst);
    return worst;
}

void MultiRun::take(Port &port, const QByteArray &line) {
    const QJsonObject e = QJsonDocument::fromJson(line).object();
    if (o_.output == Output::Json) print(stdout, QString::fromUtf8(line) + "\n");
    const QString event = e.value(QStringLiteral("event")).toString();
    if (event == QLatin1String("progress")) {
        const int percent = e.value(QStringLiteral("percent")).toInt();
        if (o_.output == Output::Lines && percent / 10 != port.percent / 10)
            say(QStringLiteral("%1: %2 %").arg(port.name).arg(percent / 10 * 10));
        port.percent = percent;
        port.state = QStringLiteral("läuft");
    } else if (event == QLatin1String("question") || event == QLatin1String("message")) {
        QString text = e.value(QStringLiteral("text")).toString().simplified();
        // What went wrong is the question the run asked last, or else what it said.
        const bool question = e.contains(QStringLiteral("answer"));
        if (question || !port.asked) port.cause = text;
        port.asked = port.asked || question;
        if (question) text += QStringLiteral(" – ") + e.value(QStringLiteral("answer")).toString();
        port.state = text;
        say(port.name + ": " + text);
    } else if (event == QLatin1String("outcome")) {
        port.state = e.value(QStringLiteral("text")).toString();
        port.seconds = e.value(QStringLiteral("seconds")).toDouble();
        port.reason = e.value(QStringLiteral("reason")).toString();
        if (port.reason.isEmpty()) port.cause.clear();
    }
    dirty_ = true;
}

void MultiRun::finished(Port &port, int exitCode, QProcess::ExitStatus status) {
    // A child that ended by the stop signal passed on to it was interrupted; one that died
    // otherwise cannot say what it left behind.
    port.exitCode = status == QProcess::NormalExit ? exitCode
                    : StopSignalled()              ? ExitCode::Interrupted
                                                   : ExitCode::Incomplete;
    if (status != QProcess::NormalExit && !StopSignalled())
        port.state = QStringLiteral("Prozess abgebrochen: ") + port.process->errorString();
    if (port.exitCode == ExitCode::Success) port.percent = 100;
    if (o_.output == Output::Lines) say(port.name + ": " + port.state);
    dirty_ = true;
}

// A row a port, each cut to the terminal's width so that none wraps into another.
void MultiRun::draw() {
    dirty_ = false;
    if (o_.output != Output::Terminal) return;
    const int columns = TerminalColumns() - 1;
    QString out;
    if (drawnLines_ > 0) out += QStringLiteral("\x1b[%1A").arg(drawnLines_);
    for (const Port &p : ports_)
        out += QStringLiteral("\r\x1b[2K") +
               FitTo(QStringLiteral("%1 %2 %  %3").arg(p.name, -14).arg(p.percent, 3).arg(p.state),
                     columns) +
               QStringLiteral("\n");
    drawnLines_ = int(ports_.size());
    print(stderr, out);
}

void MultiRun::say(const QString &line) {
    if (o_.output == Output::Lines) print(stderr, line + "\n");
}

void MultiRun::summary(int worst) {
    if (o_.output == Output::Json) {
        QJsonArray ports;
        for (const Port &p : ports_)
            ports.append(QJsonObject{{"port", p.name},
                                     {"exit", p.exitCode},
                                     {"outcome", OutcomeName(p.exitCode)},
                                     {"reason", p.reason},
                                     {"cause", p.cause}});
        print(stdout, QString::fromUtf8(QJsonDocument(QJsonObject{{"event", "summary"},
                                                                  {"time", TimeStamp()},
                                                                  {"exit", worst},
                                                                  {"ports", ports}})
                                            .toJson(QJsonDocument::Compact)) +
                          "\n");
        return;
    }
    QString out =
        QStringLiteral("\n%1 Exit  Dauer    Ergebnis\n").arg(QStringLiteral("Anschluss"), -14);
    for (const Port &p : ports_)
        out += QStringLiteral("%1 %2  %3 s  %4%5\n")
                   .arg(p.name, -14)
                   .arg(p.exitCode, 4)
                   .arg(p.seconds, 6, 'f', 1)
                   .arg(p.state, p.cause.isEmpty() ? QString() : " (" + p.cause + ")");
    print(stderr, out);
}
