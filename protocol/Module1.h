#pragma once
// The exchange of one frame with its reply, and the command routine with its retries and error
// boxes. The controls it needs belong to the main window; it only borrows them.

#include "protocol/TransferState.h"

class QTimer;
class SerialComm;
class TrafficMonitor;
class ReplyReception;
class StatusRow;
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
    static constexpr int StartReplyTimeoutMs = 3000;
    // A line that keeps chattering this long after a time-out is sent to regardless.
    static constexpr int SettleBoundMs = 3000;

    struct Controls {
        SerialComm &Comm1;
        QTimer &Timer1;
        QTimer &Timer3;
        TrafficMonitor &monitor;
        ReplyReception &reception;
        StatusRow &pictures;
        MessageBoxes &boxes;
    };

    Module1(TransferState &st, const Controls &c) : st_(st), c_(c) {}

    // Sends the prepared frame and waits, without spinning, until the reply is complete or the
    // reply timer runs out; the outcome is left in ReplyStatus.
    void ExchangeFrame();

    // Builds and sends the command until the instrument takes it or the user gives up.
    // CommandFailed and LastOutcome tell the caller how it ended.
    void SendCommand(int code);

    // After the last reply of a run: true when not one byte more arrives within a reply time-out.
    // A byte then is a reply that came after its frame had been given up: replies and frames
    // were out of step, and what was taken for confirmations cannot be trusted.
    bool LineStaysQuiet();

private:
    // Takes and drops whatever arrives until nothing has come for quietMs, or boundMs have
    // passed, or the port fails. Returns the number of bytes dropped.
    int DrainLine(int quietMs, int boundMs);

    TransferState &st_;
    Controls c_;
    bool settleFirst_ = false; // the last attempt got no proper reply; its reply may still come
};
