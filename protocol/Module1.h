#pragma once
// The exchange of one frame with its reply, and the command routine with its retries and error
// boxes. It borrows the port, the reply timer and reception, the judge of replies, the monitor,
// the boxes and a front.

#include "protocol/RunBound.h"
#include "protocol/TransferState.h"

#include <QByteArray>
#include <chrono>
#include <functional>

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

    // A new run, within a bound (none: unbounded); nothing of an earlier run carries over.
    void beginRun(RunBound::Limits limits = {});
    // The user went on at the bound: a new bound begins.
    void renewBound();
    const RunBound &bound() const { return bound_; }
    // Which bound the last command ended at (Bounded).
    RunBound::Reached reached() const { return reached_; }
    // The port was opened again after it failed: the line settles before the next frame, since
    // an adapter plugged back in may bring bytes of its own.
    void portReopened();

    // Sends the prepared frame and waits, without spinning, until the reply is complete or the
    // reply timer runs out; the outcome is left in ReplyStatus, and what it means with the judge.
    // The time-out counts from when the frame and its reply can have crossed the line. Bytes
    // waiting before the send keep the frame back; an attempt not accepted is followed by a
    // settled line.
    void ExchangeFrame();

    // Builds and sends the command until the instrument takes it or the user gives up.
    // LastOutcome tells the caller how it ended, and CommandFailed follows from it. A
    // confirmation that a stray may have given is asked again: the frame goes out once more. A
    // doubt ends the command at once, without a box and without counting as a failed attempt,
    // and so does a port that failed (no instrument can answer through it) and a run at its
    // bound (checked before each attempt).
    // Rules of the command routine:
    //  - two failed attempts in a row bring the box for the status of the second, as laid out;
    //    any status but 0, 16 and 255 brings the one for 32, since resending without end helps
    //    no one;
    //  - nothing goes out once the front asked to stop;
    //  - a confirmation sooner than usual is listened after until this frame's own would have
    //    come; bytes then cast doubt.
    void SendCommand(int code);

    // After the end's reply the line is listened to for a reply time-out (while a reply is owed,
    // until the horizon of a late one). Accepted when nothing comes, or nothing that may be a
    // reply of ours: an instrument that resets and greets is shown, not doubted. Doubt when what
    // came may be a reply of ours; PortLost when the port failed meanwhile.
    Outcome ListenAfterEnd();
    // What the line said after the end's reply.
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
    // passed (or what awaitedCame recognises among the bytes has come), or boundMs have passed,
    // or the port fails.
    Drained DrainLine(int quietMs, Clock::time_point notBefore, int boundMs,
                      const std::function<bool(const QByteArray &)> &awaitedCame = {});
    // Lets the line settle after an attempt that was not accepted; returns the bytes dropped.
    QByteArray settle();

    // Ends the command: its outcome, and CommandFailed as it follows.
    void end(Outcome outcome);
    // The attempts of one command up to its outcome.
    Outcome attempts(int code);

    TransferState &st_;
    Controls c_;
    RunBound::Limits limits_;
    RunBound bound_;
    RunBound::Reached reached_ = RunBound::Reached::No;
    bool settleFirst_ = false; // the line did not fall quiet when it settled last
    int framesSent_ = 0;
    QByteArray afterEnd_;
};
