#pragma once
// The exchange of one frame with its reply, and the command routine with its retries and error
// boxes. It borrows the port, the reply timer and reception, the judge of replies, the monitor,
// the boxes and a front.

#include "protocol/TransferState.h"

#include <QByteArray>
#include <chrono>

class RunClock;
class RunTimer;
class SerialComm;
class TrafficMonitor;
class ReplyReception;
class ReplyJudge;
class CommandFront;
class MessageBoxes;

namespace Command {
constexpr int Start = 1;
constexpr int Data = 2;
constexpr int End = 3;
} // namespace Command

namespace Texts {
inline constexpr char NoReply[] =
    "Q7310 reagiert nicht oder befindet sich nicht im Programmiermode (LOAdEPrOM)";
inline constexpr char TransmissionError[] = "Datenübertragungsfehler";
inline constexpr char FlashError[] = "Flash kann nicht programmiert werden";
inline constexpr char ErrorTitle[] = "Fehler";
} // namespace Texts

class Module1 {
public:
    // The start erases, the end may have the instrument check its flash: both have long.
    static constexpr int StartReplyTimeoutMs = 3000;
    static constexpr int EndReplyTimeoutMs = 3000;
    // A line that keeps chattering this long while it should settle is sent to regardless.
    static constexpr int SettleBoundMs = 3000;

    struct Controls {
        SerialComm &Comm1;
        RunTimer &Timer1;
        TrafficMonitor &monitor;
        ReplyReception &reception;
        ReplyJudge &judge;
        CommandFront &front;
        MessageBoxes &boxes;
    };

    Module1(TransferState &st, const Controls &c) : st_(st), c_(c) {}

    // A new run: nothing of an earlier run's last attempt carries over.
    void beginRun();
    // The port was opened again after it failed: the line settles before the next frame, since
    // an adapter plugged back in may bring bytes of its own.
    void portReopened();

    // Sends the prepared frame and waits, without spinning, until the reply is complete or the
    // reply timer runs out; the outcome is left in ReplyStatus, and what it means with the judge.
    // A byte that is not the reply to this frame makes it doubtful; one that comes before the
    // send keeps the frame back.
    void ExchangeFrame();

    // Builds and sends the command until the instrument takes it or the user gives up. A
    // confirmation that may have been another frame's reply is asked again: the frame goes out
    // once more and must be confirmed again.
    // CommandFailed and LastOutcome tell the caller how it ended; Doubt ends it at once, without
    // a box and without counting as a failed attempt, and so does a port that failed (PortLost):
    // no instrument can answer through it, so asking whether it should is pointless.
    void SendCommand(int code);

    // After the end's reply: Accepted when not one byte more arrives within a reply time-out
    // (while a reply is owed, until the horizon of a late reply). A byte then is a reply that
    // came after its frame had been given up: replies and frames were out of step, and what was
    // taken for confirmations cannot be trusted (Doubt). PortLost when the port failed meanwhile.
    CommandOutcome LineStaysQuiet();
    // What the line said after the end's reply, when it did not stay quiet.
    QByteArray afterEnd() const { return afterEnd_; }

    // Frames written to the port so far.
    int framesSent() const { return framesSent_; }

private:
    using Clock = std::chrono::steady_clock;
    RunClock &clock() const;
    struct Drained {
        QByteArray bytes; // dropped
        bool quiet;       // false: the bound or a failing port ended it
    };
    // Takes and drops whatever arrives until nothing has come for quietMs and notBefore has
    // passed, or boundMs have passed, or the port fails.
    Drained DrainLine(int quietMs, Clock::time_point notBefore, int boundMs);
    // Lets the line settle after an attempt that was not accepted; returns the bytes dropped.
    QByteArray settle();

    TransferState &st_;
    Controls c_;
    bool settleFirst_ = false; // the line did not fall quiet when it settled last
    int framesSent_ = 0;
    QByteArray afterEnd_;
};
