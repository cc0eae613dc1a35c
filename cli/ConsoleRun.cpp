#include "cli/ConsoleRun.h"

#include "cli/Outcome.h"
#include "cli/Print.h"
#include "cli/Record.h"
#include "cli/Signals.h"
#include "cli/Terminal.h"
#include "protocol/Frames.h"
#include "protocol/Module1.h"
#include "serial/PortInfo.h"
#include "serial/SerialComm.h"
#include "transfer/RunParts.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QSysInfo>

namespace {
QString duration(qint64 seconds) {
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

double milliseconds(std::chrono::nanoseconds t) {
    return double(t.count()) / 1e6;
}
} // namespace

ConsoleRun::ConsoleRun(FlashOptions options, const QStringList &linkDirs, const ImageInput &image,
                       SerialComm *port, RunClock *clock)
    : o_(std::move(options)), image_(image), Timer1(clock ? *clock : RunClock::Real()),
      parts_(std::make_unique<RunParts>(st_, Timer1, *this, *this, *this, port, linkDirs)),
      comm_(parts_->comm), target_(ResolvePort(o_.port, linkDirs)) {
    const int n = ComPortNumber(o_.port);
    comm_.CommPort = std::max(n, 1);
    if (n == 0) comm_.DevicePath = o_.port;
}

ConsoleRun::~ConsoleRun() = default;

int ConsoleRun::exec() {
    // One plan of the image for the run and for what is shown of it.
    const auto plan = std::make_shared<const ImagePlan>(PlanImage(image_.lines()));
    summary_ = plan->summary;
    const QString started = TimeStamp();
    json({{"event", "start"},
          {"device", comm_.deviceName()},
          {"file", o_.file},
          {"sha256", image_.sha256()},
          {"total", summary_.dataBytes}});
    clock_.start();
    RunReason reason = RunReason::ImageUnreadable;
    if (!image_.problem.isEmpty()) {
        MsgBox(QStringLiteral("Die Datei \"%1\" kann nicht gelesen werden: %2")
                   .arg(QFileInfo(o_.file).fileName(), image_.problem),
               MsgStyle::Critical, QStringLiteral("Datei"));
        outcome_ = RunOutcome::NothingSent;
    } else {
        parts_->run.Run(comm_.CommPort, RunImage{o_.file, plan});
        reason = parts_->run.reason();
    }

    const int code = ExitCodeOf(outcome_, startSent_);
    if (code == ExitCode::Success) report(summary_.dataBytes);
    if (o_.output == Output::Terminal && lastPercent_ >= 0) print(stderr, QStringLiteral("\n"));
    const QString text = OutcomeText(code, startSent_);
    const int shown = StopSignalled() ? StoppedExitCode(StopSignal()) : code; // what it sees
    json({{"event", "outcome"},
          {"outcome", OutcomeName(code)},
          {"exit", shown},
          {"reason", ReasonName(reason)},
          {"text", text},
          {"seconds", double(clock_.elapsed()) / 1000}});
    const AnswerTime &answers = parts_->judge.answerTime();
    if (o_.verbose && answers.count() > 0)
        trace(QStringLiteral("Antwortzeit des Q7310 mit Adapter und Weg: Median %1 ms, längste "
                             "%2 ms")
                  .arg(milliseconds(answers.median()), 0, 'f', 1)
                  .arg(milliseconds(answers.worst()), 0, 'f', 1));
    if (o_.output != Output::Json) print(stderr, comm_.portLabel() + ": " + text + "\n");
    if (!o_.log.isEmpty() && !AppendRecord(o_.log, record(shown, reason, started)))
        say(QStringLiteral("Das Protokoll %1 kann nicht geschrieben werden.").arg(o_.log));
    return code;
}

QJsonObject ConsoleRun::record(int code, RunReason reason, const QString &started) const {
    QJsonObject adapter;
    const QString real = target_.real;
    const QList<PortFacts> ports = SystemPorts();
    for (const PortFacts &p : ports) {
        if (real.isEmpty() || QFileInfo(p.location).canonicalFilePath() != real) continue;
        adapter = {{"manufacturer", p.manufacturer},
                   {"description", p.description},
                   {"serialNumber", p.serialNumber}};
        if (p.vendorId >= 0)
            adapter.insert(QStringLiteral("vendorId"), QString::number(p.vendorId, 16));
        if (p.productId >= 0)
            adapter.insert(QStringLiteral("productId"), QString::number(p.productId, 16));
    }
    const int planned = summary_.frames;
    const int sent = parts_->module.framesSent();
    const AnswerTime &answers = parts_->judge.answerTime();
    QJsonObject r{{"start", started},
                  {"end", TimeStamp()},
                  {"seconds", double(clock_.elapsed()) / 1000},
                  {"version", QStringLiteral(Q7310_VERSION)},
                  {"host", QSysInfo::machineHostName()},
                  {"port", o_.port},
                  {"device", target_.real.isEmpty() ? comm_.deviceName() : target_.real},
                  {"adapter", adapter},
                  {"image", QJsonObject{{"path", o_.file},
                                        {"sha256", image_.sha256()},
                                        {"dataBytes", summary_.dataBytes}}},
                  {"outcome", OutcomeName(ExitCodeOf(outcome_, startSent_))},
                  {"exit", code},
                  {"reason", ReasonName(reason)},
                  {"questions", questions_},
                  {"repairs", parts_->run.repairs()},
                  {"framesSent", sent},
                  {"framesResent", std::max(0, sent - planned)}};
    if (answers.count() > 0)
        r.insert(QStringLiteral("turnaroundMs"),
                 QJsonObject{{"median", milliseconds(answers.median())},
                             {"worst", milliseconds(answers.worst())}});
    if (StopSignalled())
        r.insert(QStringLiteral("signal"), QString::fromLatin1(SignalName(StopSignal())));
    return r;
}

bool ConsoleRun::stopRequested() const {
    return StopSignalled();
}

void ConsoleRun::progress(int line, int total) {
    Q_UNUSED(total);
    if (line > 0) report(summary_.bytesBeforeLine.value(line));
}

void ConsoleRun::commandBegins(int command, int frame) {
    Q_UNUSED(command);
    // Every command may be retried as often as allowed; a frame a repair sends again goes on
    // with what its command has left.
    frame_ = frame;
}

void ConsoleRun::report(qint64 bytes) {
    if (summary_.dataBytes == 0) return;
    const int percent = int(bytes * 100 / summary_.dataBytes);
    switch (o_.output) {
    case Output::Terminal:
        if (clock_.elapsed() - lastDrawn_ >= 100 || percent != lastPercent_) drawBar(bytes);
        break;
    case Output::Lines:
        if (percent / 10 != lastPercent_ / 10)
            say(QStringLiteral("%1 % (%2 von %3 Bytes)")
                    .arg(percent / 10 * 10)
                    .arg(bytes)
                    .arg(summary_.dataBytes));
        break;
    case Output::Json:
        if (percent != lastPercent_)
            json({{"event", "progress"},
                  {"percent", percent},
                  {"bytes", bytes},
                  {"total", summary_.dataBytes}});
        break;
    case Output::Quiet:
        break;
    }
    lastPercent_ = percent;
    lastBytes_ = bytes;
}

// One line that fits the terminal as it is now: the bar gives way first.
void ConsoleRun::drawBar(qint64 bytes) {
    const int percent = int(bytes * 100 / summary_.dataBytes);
    const double seconds = double(clock_.elapsed()) / 1000;
    const double rate = seconds > 0 ? double(bytes) / seconds : 0;
    const QString left = rate > 0 ? duration(qint64(double(summary_.dataBytes - bytes) / rate))
                                  : QStringLiteral("-");
    const QString figures = QStringLiteral(" %1 %  %2/%3 Bytes  %4 B/s  noch %5")
                                .arg(percent, 3)
                                .arg(bytes)
                                .arg(summary_.dataBytes)
                                .arg(qint64(rate))
                                .arg(left);
    const int columns = TerminalColumns() - 1; // the last column would wrap on some terminals
    const int width = std::min(30, columns - int(comm_.portLabel().size() + figures.size()) - 3);
    QString line = comm_.portLabel();
    if (width >= 5) {
        const int filled = percent * width / 100;
        line += QStringLiteral(" [%1%2]").arg(QString(filled, QLatin1Char('#')),
                                              QString(width - filled, QLatin1Char('.')));
    }
    print(stderr, LineStart(columns) + FitTo(line + figures, columns));
    lastDrawn_ = clock_.elapsed();
}

int ConsoleRun::MsgBox(const QString &text, int style, const QString &title) {
    if (style != MsgStyle::CriticalRetry) {
        json({{"event", "message"}, {"title", title}, {"text", text}});
        say(QStringLiteral("%1: %2").arg(title, text));
        return MsgAnswer::OK;
    }
    // After a stop signal the run ends before its next attempt, whatever is answered here.
    int &used = retriesUsed_[frame_];
    const bool retry = used < o_.retries || StopSignalled();
    if (retry && !StopSignalled()) ++used;
    // A port that is gone (an adapter pulled, a device server restarting) gets a moment to come
    // back before it is opened again, as it would while a person reads the box.
    for (int i = 0; retry && !comm_.PortOpen() && i < 10 && !StopSignalled(); ++i)
        Pause(Timer1.clock(), std::chrono::milliseconds(100));
    const QString answer = retry ? QStringLiteral("Wiederholen") : QStringLiteral("Abbrechen");
    questions_.append(QJsonObject{{"text", text}, {"answer", answer}});
    json({{"event", "question"}, {"title", title}, {"text", text}, {"answer", answer}});
    say(QStringLiteral("%1: %2 – %3").arg(title, text, answer));
    return retry ? MsgAnswer::Retry : MsgAnswer::Cancel;
}

void ConsoleRun::frameSent(int command, std::int64_t address, int dataBytes) {
    if (!o_.verbose) return;
    trace(command == Command::Start ? QStringLiteral("→ Start")
          : command == Command::End ? QStringLiteral("→ Ende")
                                    : QStringLiteral("→ Block %1, %2 Bytes")
                                          .arg(address, 6, 16, QLatin1Char('0'))
                                          .arg(dataBytes));
}

void ConsoleRun::replyJudged(const QByteArray &bytes, int status, std::chrono::nanoseconds after,
                             std::chrono::nanoseconds turnaround, const char *doubt) {
    if (!o_.verbose) return;
    QString line = bytes.isEmpty() ? QStringLiteral("← keine Antwort")
                                   : QStringLiteral("← %1  Status %2 nach %3 ms")
                                         .arg(MonitorHex(bytes).trimmed())
                                         .arg(status)
                                         .arg(milliseconds(after), 0, 'f', 1);
    if (turnaround != std::chrono::nanoseconds{})
        line += QStringLiteral(" (Antwortzeit %1 ms)").arg(milliseconds(turnaround), 0, 'f', 1);
    if (*doubt) line += QStringLiteral(", Zweifel: ") + QString::fromUtf8(doubt);
    trace(line);
}

void ConsoleRun::settled(const QByteArray &dropped, std::chrono::milliseconds took) {
    if (!o_.verbose) return;
    trace(QStringLiteral("Leitung beruhigt nach %1 ms, %2 Bytes verworfen %3")
              .arg(took.count())
              .arg(dropped.size())
              .arg(MonitorHex(dropped))
              .trimmed());
}

void ConsoleRun::saidAfterEnd(const QByteArray &bytes) {
    if (!o_.verbose) return;
    // As bytes, and as text where they are printable, as a greeting usually is.
    QString text;
    for (char c : bytes)
        text += c >= 0x20 && c < 0x7F ? QChar::fromLatin1(c) : QChar(u'·');
    trace(QStringLiteral("Nach dem Endebefehl sendet der Q7310: %1 („%2“)")
              .arg(MonitorHex(bytes).trimmed(), text));
}

void ConsoleRun::repairing(int from) {
    if (!o_.verbose) return;
    trace(from == 0 ? QStringLiteral("Reparatur: alles erneut ab dem Start (Löschen)")
                    : QStringLiteral("Reparatur: erneut ab Block %1").arg(from));
}

void ConsoleRun::json(QJsonObject event) {
    if (o_.output != Output::Json) return;
    event.insert(QStringLiteral("time"), TimeStamp());
    event.insert(QStringLiteral("port"), o_.port);
    print(stdout, QString::fromUtf8(QJsonDocument(event).toJson(QJsonDocument::Compact)) + "\n");
}

// Every message names its port, and goes on a line of its own, not into the bar.
void ConsoleRun::say(const QString &line) {
    if (o_.output == Output::Json || o_.output == Output::Quiet) return;
    const bool bar = o_.output == Output::Terminal && lastPercent_ >= 0;
    if (bar) print(stderr, LineStart(TerminalColumns() - 1));
    print(stderr, comm_.portLabel() + QStringLiteral(": ") + line + "\n");
    if (bar) drawBar(lastBytes_);
}

void ConsoleRun::trace(const QString &line) {
    const bool bar = o_.output == Output::Terminal && lastPercent_ >= 0;
    if (bar) print(stderr, LineStart(TerminalColumns() - 1));
    print(stderr, QStringLiteral("%1 s  %2  %3\n")
                      .arg(double(clock_.nsecsElapsed()) / 1e9, 8, 'f', 3)
                      .arg(comm_.portLabel(), line));
    if (bar) drawBar(lastBytes_);
}
