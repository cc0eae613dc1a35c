#pragma once
// One instrument programmed from the command line: the run's front and the policy that answers
// its questions, with progress on a terminal, as plain lines, as JSON events, or not at all.

#include "protocol/MessageBoxes.h"
#include "protocol/TrafficMonitor.h"
#include "protocol/TransferState.h"
#include "transfer/BlockAssembly.h"
#include "transfer/RunFront.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QTimer>
#include <memory>

class SerialComm;
struct RunParts;

enum class Output { Terminal, Lines, Quiet, Json };

struct FlashOptions {
    QString port = QStringLiteral("com1"); // com1 .. com8, or a device path
    QString file;
    int retries = 2; // Wiederholen per command before Abbrechen
    Output output = Output::Lines;
};

// "com3" -> 3; 0 for anything else, which is taken as a device path.
int ComPortNumber(const QString &port);

// From now on SIGINT and SIGTERM ask the run to stop at the next frame boundary.
void StopOnSignals();
bool StopSignalled();

class ConsoleRun : public RunFront, public MessageBoxes, public TrafficMonitor {
public:
    // settingsDir: where the comN links are looked for, as the window does.
    ConsoleRun(FlashOptions options, const QString &settingsDir);
    ~ConsoleRun() override;

    // Programs the instrument and returns the exit code.
    int exec();

    // RunFront
    void contact(bool) override {}
    void noReply(bool) override {}
    void startSent() override { startSent_ = true; }
    void portHeld(bool) override {}
    void progress(int line, int total) override;
    void ended(RunOutcome outcome) override { outcome_ = outcome; }
    bool stopRequested() const override;
    // MessageBoxes: Wiederholen up to the retries allowed for the command, then Abbrechen.
    int MsgBox(const QString &text, int style, const QString &title) override;
    // TrafficMonitor: there is none.
    bool monitorOn() const override { return false; }
    void setSentText(const QString &) override {}
    void setReplyText(const QString &) override {}

private:
    void json(QJsonObject event);
    void say(const QString &line);
    void report(qint64 bytes);
    void drawBar(qint64 bytes);

    FlashOptions o_;
    TransferState st_;
    QTimer Timer1;
    std::unique_ptr<RunParts> parts_;
    SerialComm &comm_;
    ImageSummary image_;
    QElapsedTimer clock_;
    RunOutcome outcome_ = RunOutcome::None;
    bool startSent_ = false;
    int retriesLeft_ = 0;
    int lastLine_ = -1;
    int lastPercent_ = -1;
    qint64 lastBytes_ = 0;
    qint64 lastDrawn_ = -1000;
};
