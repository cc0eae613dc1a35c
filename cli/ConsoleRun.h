#pragma once
// One instrument programmed from the command line: the run's front and the policy that answers
// its questions, with progress on a terminal, as plain lines, as JSON events, or not at all; a
// traffic view on request, and a record of the run.

#include "cli/ImageInput.h"
#include "config/PortNames.h"
#include "protocol/MessageBoxes.h"
#include "protocol/RunClock.h"
#include "protocol/TrafficMonitor.h"
#include "protocol/TransferState.h"
#include "transfer/BlockAssembly.h"
#include "transfer/RunFront.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QTimer>
#include <memory>

class SerialComm;
struct RunParts;

enum class Output { Terminal, Lines, Quiet, Json };

struct FlashOptions {
    QString port = QStringLiteral("com1"); // com1 .. com8, or a device path
    QString file;                          // how the image is named in messages and records
    int retries = 2;                       // Wiederholen per command before Abbrechen
    Output output = Output::Lines;
    bool verbose = false; // the traffic, line by line on stderr
    QString log;          // where the record of the run is appended; empty: none
};

class ConsoleRun : public RunFront, public MessageBoxes, public TrafficMonitor {
public:
    // linkDirs: where the comN links are looked for, as the window does. port and clock: the
    // ones to use; null: the real ones.
    ConsoleRun(FlashOptions options, const QStringList &linkDirs, const ImageInput &image,
               SerialComm *port = nullptr, RunClock *clock = nullptr);
    ~ConsoleRun() override;

    // Programs the instrument and returns the exit code; the record is written.
    int exec();

    // RunFront
    void contact(bool) override {}
    void noReply(bool) override {}
    void startSent() override { startSent_ = true; }
    void portHeld(bool) override {}
    void progress(int line, int total) override;
    void commandBegins(int command, int frame) override;
    // A policy answers: at the bound the run gives up.
    bool personAnswers() const override { return false; }
    void ended(RunOutcome outcome) override { outcome_ = outcome; }
    bool stopRequested() const override;
    void frameSent(int command, std::int64_t address, int dataBytes) override;
    void replyJudged(const QByteArray &bytes, int status, std::chrono::nanoseconds after,
                     std::chrono::nanoseconds turnaround, const char *doubt) override;
    void settled(const QByteArray &dropped, std::chrono::milliseconds took) override;
    void repairing(int from) override;
    void saidAfterEnd(const QByteArray &bytes) override;
    // MessageBoxes: Wiederholen up to the retries allowed for the command, then Abbrechen.
    int MsgBox(const QString &text, int style, const QString &title) override;
    // TrafficMonitor: there is none.
    bool monitorOn() const override { return false; }
    void setSentText(const QString &) override {}
    void setReplyText(const QString &) override {}

private:
    void json(QJsonObject event);
    void say(const QString &line);
    void trace(const QString &line);
    void report(qint64 bytes);
    void drawBar(qint64 bytes);
    QJsonObject record(int code, RunReason reason, const QString &started) const;

    FlashOptions o_;
    const ImageInput &image_;
    TransferState st_;
    RunTimer Timer1;
    std::unique_ptr<RunParts> parts_;
    SerialComm &comm_;
    PortTarget target_; // what the port opens, for the record
    ImageSummary summary_;
    QElapsedTimer clock_;
    RunOutcome outcome_ = RunOutcome::None;
    bool startSent_ = false;
    int frame_ = 0;                // of the run, whose command is under way
    QHash<int, int> retriesUsed_; // Wiederholen answered, by frame of the run
    int lastPercent_ = -1;
    qint64 lastBytes_ = 0;
    qint64 lastDrawn_ = -1000;
    QJsonArray questions_;
};
