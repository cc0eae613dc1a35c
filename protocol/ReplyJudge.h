#pragma once
// What a reply means, decided in one place: accepted, refused, no reply, doubtful or port lost.
// The receive handler tells it when bytes come, the exchange what went out and what came back.
// It keeps what a run has learned: when this instrument answers, and how many replies are owed.
//
// The protocol carries no sequence numbers, so a reply is paired with its frame by time. Every
// confirmed reply is measured against its frame: the time from the write to its arrival, less
// the frame's and the reply's time on the line, is the instrument's turnaround (with our own and
// an adapter's delays). A reply that would confirm a frame is believed only within the band of
// turnarounds this instrument has shown, widened by a margin that covers the spread seen and,
// while few replies have been measured, the 0 to 16 ms a USB adapter's latency timer adds. A
// reply outside it is another frame's, or came by chance: it casts doubt.

#include "protocol/RunClock.h"

#include <QByteArray>
#include <QList>
#include <chrono>

enum class ReplyVerdict {
    Accepted, // the frame's own reply, status 0
    Refused,  // a reply with another status (16, 32, ...)
    NoReply,  // nothing, or fewer than 5 bytes, or the status 255
    Doubtful, // a byte came that is not this frame's reply: an earlier reply may have been
              // credited to the wrong frame
    PortLost, // the port failed and was closed
};

// When this instrument answers: the turnarounds of the replies confirmed so far in a run.
class AnswerTime {
public:
    using ns = std::chrono::nanoseconds;
    // After this many replies the band is taken as known.
    static constexpr int KnownAfter = 8;
    // Beyond any spread seen. Early: a turnaround shorter than the shortest seen, by a little
    // (a clock that runs fast shifts them all alike, and so is learned). Late: delays in seeing a
    // reply that are not our own waiting for a processor (that is measured and taken off): the
    // event loop, and the scheduling of whatever carries the reply to us (the kernel's worker
    // that hands received bytes on, a device server on this machine). On a loaded machine those
    // were seen up to 7 ms late.
    static constexpr ns EarlyFloor = std::chrono::milliseconds(1);
    static constexpr ns LateFloor = std::chrono::milliseconds(12);
    // What an adapter may add that the first replies need not have shown yet.
    static constexpr ns UnseenJitter = std::chrono::milliseconds(16);

    struct Band {
        ns lo, hi; // a turnaround is believed from lo to hi
        bool contains(ns t) const { return t >= lo && t <= hi; }
    };

    void clear() { samples_.clear(); }
    void add(ns turnaround);
    int count() const { return int(samples_.size()); }
    bool known() const { return count() >= KnownAfter; }
    // Meaningful once count() > 0.
    Band band() const;
    ns median() const;
    ns worst() const;

private:
    QList<ns> samples_; // sorted
};

class ReplyJudge {
public:
    using Clock = std::chrono::steady_clock;
    using ns = std::chrono::nanoseconds;

    // What went out: the start's reply comes after an erase, which takes what it takes, and is
    // judged on its own. The end asks nothing of the flash: an instrument may answer it sooner
    // than a block, so its reply is believed from its crossing up to the latest this instrument
    // answers a block.
    enum class Frame { Start, Block, End };

    // clock: what the times given are read from, and how long this program waited for a
    // processor meanwhile.
    explicit ReplyJudge(RunClock &clock = RunClock::Real()) : clock_(clock) {}
    RunClock &clock() const { return clock_; }

    // A new run: nothing learned of an earlier one carries over.
    void beginRun();
    // The port was opened again: what it may still bring is no answer to anything.
    void portReopened();

    // An attempt begins: nothing is known of it yet.
    void beginAttempt();
    // The frame goes out now; it needs frameLine on the line, its reply replyLine.
    void frameSent(Clock::time_point at, ns frameLine, ns replyLine, Frame frame);
    // Bytes are waiting at `now`: true when they come too soon to be the reply, since the
    // instrument cannot answer a frame it has not received in full.
    bool tooSoon(Clock::time_point now) const;
    // The whole reply was there at `at`.
    void replyTaken(Clock::time_point at);
    // Bytes nobody waits for (why: where they came). Any of them casts doubt on this attempt; a
    // reply among them pays a reply owed.
    void unexplained(const QByteArray &bytes, const char *why);
    // Bytes were waiting when the frame was to go out: it is kept back, and the attempt is in
    // doubt.
    void keptBack(const QByteArray &bytes);
    // The port failed and was closed: nothing can answer through it.
    void portLost();

    // The bytes taken for the reply, once the wait has ended, and whether the port is still open.
    ReplyVerdict judge(const QByteArray &reply, bool portOpen);
    ReplyVerdict verdict() const { return verdict_; }
    // The status as the exchange reports it: the reply's third byte, or 255 for no reply and
    // for a doubtful one.
    int status() const;
    // Why the attempt is in doubt, for the monitor and the record; empty when it is not.
    const char *doubtReason() const { return why_; }
    // The last reply's turnaround, also when it was not believed; 0 for a start or no reply.
    ns turnaround() const { return turnaround_; }
    // How long after the frame its reply was taken; 0 when none was.
    ns sinceSent() const { return replyAt_ - sentAt_; }

    // The line settles after an attempt that was not accepted until this moment at least: the
    // attempt's reply could come until then.
    Clock::time_point settleUntil(Clock::time_point now) const;
    // The line fell quiet when it settled.
    void settled() { awaitingLate_ = false; }

    // Replies of attempts that got none: they may still come, at any time.
    int owed() const { return owed_; }
    // A confirmation may be a reply owed to an earlier attempt, and this instrument's answer
    // time is not known well enough to tell: the frame is to be confirmed a second time.
    bool confirmationInDoubt() const { return owed_ > 0 && !answers_.known(); }
    const AnswerTime &answerTime() const { return answers_; }

    // How long after its frame a reply is still waited for once its attempt was given up. A
    // start reply may come late after a slow erase.
    static constexpr int ReplyHorizonMs = 2500;
    static constexpr int StartReplyHorizonMs = 4500;

    // Frame k of a run goes out again after a doubt that arose at frame `at` (0 the start, then
    // the blocks, the end frame last); crossings[k]: frame k and its reply on the line.
    int resumeAfterDoubt(const QList<ns> &crossings, int at) const;

private:
    void doubt(const char *why);
    void pay(const QByteArray &bytes);

    RunClock &clock_;
    AnswerTime answers_;
    ReplyVerdict verdict_ = ReplyVerdict::NoReply;
    int status_ = 255;
    const char *why_ = "";
    Clock::time_point earliest_{}, sentAt_{}, replyAt_{};
    ns waitedAtSend_{}; // this thread's time spent waiting for a processor, at the send
    ns delayed_{};      // how much of it came before the reply was taken
    ns crossing_{};
    ns turnaround_{};
    Frame frame_ = Frame::Block;
    int owed_ = 0;
    bool awaitingLate_ = false; // the last attempt's reply never came: the settle waits for it
};
