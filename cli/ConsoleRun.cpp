#include "cli/ConsoleRun.h"

#include "cli/Outcome.h"
#include "cli/Print.h"
#include "serial/SerialComm.h"
#include "transfer/HexImage.h"
#include "transfer/RunParts.h"

#include <QJsonDocument>
#include <QRegularExpression>
#include <csignal>
#include <cstdio>

namespace {
volatile std::sig_atomic_t stopSignal = 0;
extern "C" void onStopSignal(int signal) {
    stopSignal = signal;
}

QString duration(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}
} // namespace

int ComPortNumber(const QString &port) {
    static const QRegularExpression com(QStringLiteral("^com([1-8])$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(port);
    return m.hasMatch() ? m.captured(1).toInt() : 0;
}

void StopOnSignals() {
#if defined(Q_OS_UNIX)
    // Restarted, so that a signal never fails a read or write of the port half-way.
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
}

ConsoleRun::ConsoleRun(FlashOptions options, const QString &settingsDir)
    : o_(std::move(options)),
      parts_(std::make_unique<RunParts>(st_, Timer1, *this, *this, *this, nullptr, settingsDir)),
      comm_(parts_->comm) {
    const int n = ComPortNumber(o_.port);
    comm_.CommPort = std::max(n, 1);
    if (n == 0) comm_.DevicePath = o_.port;
}

ConsoleRun::~ConsoleRun() = default;

int ConsoleRun::exec() {
    // The run checks the image again before the start; this reading only gives the progress
    // its bytes. A file it cannot read is left to the run to report.
    QList<QByteArray> lines;
    QString problem;
    if (ReadImageFile(o_.file, lines, problem)) image_ = SummarizeImage(lines);
    json({{"event", "start"},
          {"device", comm_.deviceName()},
          {"file", o_.file},
          {"total", image_.dataBytes}});
    clock_.start();
    retriesLeft_ = o_.retries;
    parts_->run.Run(comm_.CommPort, o_.file);

    const int code = ExitCodeOf(outcome_, startSent_);
    if (code == ExitCode::Success) report(image_.dataBytes);
    if (o_.output == Output::Terminal && lastPercent_ >= 0) print(stderr, QStringLiteral("\n"));
    const QString text = OutcomeText(code, startSent_);
    json({{"event", "outcome"},
          {"outcome", OutcomeName(code)},
          {"exit", code},
          {"text", text},
          {"seconds", double(clock_.elapsed()) / 1000}});
    if (o_.output != Output::Json) print(stderr, comm_.portLabel() + ": " + text + "\n");
    return code;
}

bool StopSignalled() {
    return stopSignal != 0;
}

bool ConsoleRun::stopRequested() const {
    return StopSignalled();
}

void ConsoleRun::progress(int line, int total) {
    Q_UNUSED(total);
    // Every command may be retried as often as allowed; a new line means a new command.
    if (line != lastLine_) retriesLeft_ = o_.retries;
    lastLine_ = line;
    if (line > 0) report(image_.bytesBeforeLine.value(line));
}

void ConsoleRun::report(qint64 bytes) {
    if (image_.dataBytes == 0) return;
    const int percent = int(bytes * 100 / image_.dataBytes);
    switch (o_.output) {
    case Output::Terminal:
        if (clock_.elapsed() - lastDrawn_ >= 100 || percent != lastPercent_) drawBar(bytes);
        break;
    case Output::Lines:
        if (percent / 10 != lastPercent_ / 10)
            say(QStringLiteral("%1: %2 % (%3 von %4 Bytes)")
                    .arg(comm_.portLabel())
                    .arg(percent / 10 * 10)
                    .arg(bytes)
                    .arg(image_.dataBytes));
        break;
    case Output::Json:
        if (percent != lastPercent_)
            json({{"event", "progress"},
                  {"percent", percent},
                  {"bytes", bytes},
                  {"total", image_.dataBytes}});
        break;
    case Output::Quiet:
        break;
    }
    lastPercent_ = percent;
    lastBytes_ = bytes;
}

void ConsoleRun::drawBar(qint64 bytes) {
    const int percent = int(bytes * 100 / image_.dataBytes);
    constexpr int width = 30;
    const int filled = percent * width / 100;
    const double seconds = double(clock_.elapsed()) / 1000;
    const double rate = seconds > 0 ? double(bytes) / seconds : 0;
    const QString left =
        rate > 0 ? duration(qint64(double(image_.dataBytes - bytes) / rate)) : QStringLiteral("-");
    print(stderr, QStringLiteral("\r\x1b[2K%1 [%2%3] %4 %  %5/%6 Bytes  %7 B/s  noch %8")
                      .arg(comm_.portLabel(), QString(filled, QLatin1Char('#')),
                           QString(width - filled, QLatin1Char('.')))
                      .arg(percent, 3)
                      .arg(bytes)
                      .arg(image_.dataBytes)
                      .arg(qint64(rate))
                      .arg(left));
    lastDrawn_ = clock_.elapsed();
}

int ConsoleRun::MsgBox(const QString &text, int style, const QString &title) {
    if (style != MsgStyle::CriticalRetry) {
        json({{"event", "message"}, {"title", title}, {"text", text}});
        say(QStringLiteral("%1: %2").arg(title, text));
        return MsgAnswer::OK;
    }
    const bool retry = retriesLeft_ > 0;
    if (retry) --retriesLeft_;
    const QString answer = retry ? QStringLiteral("Wiederholen") : QStringLiteral("Abbrechen");
    json({{"event", "question"}, {"title", title}, {"text", text}, {"answer", answer}});
    say(QStringLiteral("%1: %2 – %3").arg(title, text, answer));
    return retry ? MsgAnswer::Retry : MsgAnswer::Cancel;
}

void ConsoleRun::json(QJsonObject event) {
    if (o_.output != Output::Json) return;
    event.insert(QStringLiteral("port"), o_.port);
    print(stdout, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) + "\n");
}

void ConsoleRun::say(const QString &line) {
    if (o_.output == Output::Json || o_.output == Output::Quiet) return;
    // A message goes on a line of its own, not into the bar.
    if (o_.output == Output::Terminal && lastPercent_ >= 0) print(stderr, QStringLiteral("\n"));
    print(stderr, line + "\n");
    if (o_.output == Output::Terminal && lastPercent_ >= 0) drawBar(lastBytes_);
}
