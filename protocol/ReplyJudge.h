#pragma once
// What a reply means, decided in one place: accepted, refused, no reply, doubtful or port lost.
// The receive handler tells it when bytes come, the exchange what went out and what came back;
// it keeps what a run has learned about the line: whether a reply is still owed.

#include <QByteArray>
#include <chrono>

enum class ReplyVerdict {
    Accepted, // the frame's own reply, status 0
    Refused,  // the frame's own reply with another status (16, 32, ...)
    NoReply,  // nothing, or fewer than 5 bytes, or the status 255
    Doubtful, // a byte came that is not this frame's reply: an earlier reply may have been
              // credited to the wrong frame
    PortLost, // the port failed and was closed
};

class ReplyJudge {
public:
    using Clock = std::chrono::steady_clock;

    // A new run: nothing of an earlier run's last attempt carries over.
    void beginRun();
    // The port was opened again: what it may still bring is no answer to anything.
    void portReopened();

    // An attempt begins: nothing is known of it yet.
    void beginAttempt();
    // The frame goes out now and needs `crossing` on the line; start: it is a start frame, whose
    // reply may come late after a slow erase.
    void frameSent(Clock::time_point at, std::chrono::nanoseconds crossing, bool start);
    // Bytes are waiting at `now`: true when they come too soon to be the reply, since the
    // instrument cannot answer a frame it has not received in full.
    bool tooSoon(Clock::time_point now) const;
    // Bytes nobody waits for: too soon, right behind a reply, or while the line settles. Any of
    // them casts doubt on this attempt.
    void unexplained(int bytes);
    // Bytes were waiting when the frame was to go out: it is kept back, and the attempt is in
    // doubt.
    void keptBack(int bytes);
    // The port failed and was closed: nothing can answer through it.
    void portLost();

    // The bytes taken for the reply, once the wait has ended, and whether the port is still open.
    ReplyVerdict judge(const QByteArray &reply, bool portOpen);
    ReplyVerdict verdict() const { return verdict_; }
    // The status as the exchange reports it: the reply's third byte, or 255 for no reply and
    // for a doubtful one.
    int status() const;

    // The line settles after an attempt that was not accepted until this moment at least: a
    // reply still owed could come until then.
    Clock::time_point settleUntil(Clock::time_point now) const;
    // The line fell quiet when it settled: nothing is owed any longer.
    void settled();

    // How long after its frame a reply is still looked for once its attempt was given up. A
    // start reply may come late after a slow erase.
    static constexpr int ReplyHorizonMs = 2500;
    static constexpr int StartReplyHorizonMs = 4500;

private:
    ReplyVerdict verdict_ = ReplyVerdict::NoReply;
    int status_ = 255;
    bool doubt_ = false;
    Clock::time_point earliest_{};
    Clock::time_point sentAt_{};
    int horizonMs_ = ReplyHorizonMs;
    bool replyOwed_ = false; // no complete reply came for the last frame: it may still come
};
