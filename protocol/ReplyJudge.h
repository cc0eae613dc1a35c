#pragma once
// What a reply means, decided in one place: accepted, refused, no reply, doubtful or port lost,
// and whether a confirmation is to be confirmed once more. The receive handler tells it when
// bytes come, the exchange what went out and what came back. It keeps what a run has learned:
// when this instrument answers, how many replies are owed, and whether it has sent a reply
// nobody asked for.
//
// The protocol carries no sequence numbers, so a reply is paired with its frame by the line's
// physics: it comes after its frame has crossed the line, and within the time-out. How long the
// instrument takes within that is its own affair. What can stand in for a frame's reply is
// another frame's: one owed (its attempt gave up on it, it may still come) or one sent twice.
// Where such a reply may have taken the place of this frame's, the frame is sent once more, and
// the instrument must confirm it again: a stray reply cannot stand in twice. Time only decides
// when to ask again: a confirmation that comes when this instrument does not usually answer (its
// band of recent turnarounds) is asked again, never refused.
//
// Bytes that are no answer to the frame in flight (too early, behind a reply, while the line
// settles, before a frame goes out) show that replies and frames may be out of step: they cast
// doubt, and the run sends the blocks again that a displaced reply may have confirmed.

#include "protocol/RunClock.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <array>
#include <chrono>
#include <cstdint>

enum class ReplyVerdict {
    Accepted, // the frame's own reply, status 0 (see confirmAgain())
    Refused,  // a reply with another status (16, 32, ...)
    NoReply,  // nothing, or fewer than 5 bytes, or the status 255
    Doubtful, // a byte came that is not this frame's reply: an earlier reply may have been
              // credited to the wrong frame
    PortLost, // the port failed and was closed
};

// When this instrument answers: the turnarounds of the replies confirmed in a run.
class AnswerTime {
public:
    using ns = std::chrono::nanoseconds;
    // After this many replies the band is taken as known.
    static constexpr int KnownAfter = 8;
    // The band follows the most recent replies, so that an instrument that slows down as it
    // warms, or from a second flash bank on, is followed.
    static constexpr int Recent = 32;
    // After this many late confirmations that proved to be the instrument's own way (see
    // ReplyJudge), such a one is believed while no stray reply is about.
    static constexpr int TailAfter = 2;
    // Beyond any spread seen. Early: a turnaround shorter than the shortest seen, by a little
    // (a clock that runs fast shifts them all alike, and so is learned). Late: delays in seeing a
    // reply that are not our own waiting for a processor (that is measured and taken off): the
    // event loop, and the scheduling of whatever carries the reply to us (the kernel's worker
    // that hands received bytes on, a device server on this machine). On a loaded machine those
    // were seen up to 7 ms late; such a reply is only asked again, a frame's cost, while every
    // millisecond more is room for another frame's reply to pass for a lost frame's.
    static constexpr ns EarlyFloor = std::chrono::milliseconds(1);
    static constexpr ns LateFloor = std::chrono::milliseconds(4);
    // What an adapter may add that the first replies need not have shown yet.
    static constexpr ns UnseenJitter = std::chrono::milliseconds(16);

    struct Band {
        ns lo, hi; // a turnaround is expected from lo to hi
        bool contains(ns t) const { return t >= lo && t <= hi; }
    };

    void clear();
    void add(ns turnaround);
    int count() const { return int(recent_.size()); }
    bool known() const { return count() >= KnownAfter; }
    // Meaningful once count() > 0.
    Band band() const;
    // Of every reply of the run.
    ns median() const;
    ns worst() const;

private:
    QList<ns> recent_; // in the order they came, the last Recent
    QList<ns> all_;    // sorted
};

class ReplyJudge {
public:
    using Clock = std::chrono::steady_clock;
    using ns = std::chrono::nanoseconds;

    // What went out: the start's reply comes after an erase, and the end's after the instrument
    // has checked what it holds: they take what they take, within their long time-out. A block
    // is answered within the short one, and its turnaround is learned.
    enum class Frame { Start, Block, End };

    // clock: what the times given are read from, and how long this program waited for a
    // processor meanwhile.
    explicit ReplyJudge(RunClock &clock = RunClock::Real()) : clock_(clock) {}
    RunClock &clock() const { return clock_; }

    // A new run: nothing learned of an earlier one carries over.
    void beginRun();
    // The port was opened again: what it may still bring is no answer to anything.
    void portReopened();
    // A command begins: its frame has not been confirmed yet.
    void beginCommand();

    // An attempt begins: nothing is known of it yet.
    void beginAttempt();
    // The frame goes out now; it needs frameLine on the line, its reply replyLine. A block
    // writes `length` bytes from `address`.
    void frameSent(Clock::time_point at, ns frameLine, ns replyLine, Frame frame,
                   std::int64_t address = 0, int length = 0);
    // Bytes are waiting at `now`: true when they come too soon to be the reply, since the
    // instrument cannot answer a frame it has not received in full.
    bool tooSoon(Clock::time_point now) const;
    // The whole reply was there at `at`.
    void replyTaken(Clock::time_point at);
    // Bytes nobody waits for (why: where they came). Any of them casts doubt on this attempt; a
    // reply among them pays a reply owed, or shows that this instrument sends replies twice.
    void unexplained(const QByteArray &bytes, const char *why);
    // Bytes were waiting when the frame was to go out: it is kept back, and the attempt is in
    // doubt.
    void keptBack(const QByteArray &bytes);
    // The port failed and was closed: nothing can answer through it.
    void portLost();

    // The bytes taken for the reply, once the wait has ended, and whether the port is still open.
    ReplyVerdict judge(const QByteArray &reply, bool portOpen);
    ReplyVerdict verdict() const { return verdict_; }
    // The frame was confirmed, but that confirmation may have been another frame's reply: it is
    // to be sent once more and confirmed again.
    bool confirmAgain() const { return verdict_ == ReplyVerdict::Accepted && confirmed_ < needed_; }
    // A confirmation that came sooner than this instrument answers may have been another
    // frame's reply, with this frame's own still on its way: before the frame is asked again,
    // the line is listened to until then, and what comes meanwhile casts doubt. None otherwise.
    Clock::time_point listenUntil() const { return listenUntil_; }
    // The status as the exchange reports it: the reply's third byte, or 255 for no reply and
    // for a doubtful one.
    int status() const;
    // Why the attempt is in doubt, or why its confirmation is asked again, for the monitor and
    // the record; empty when neither.
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
    // The instrument sent a reply nobody owed: it may send any reply twice.
    bool repeats() const { return repeats_; }
    const AnswerTime &answerTime() const { return answers_; }

    // How long after its frame a reply is still waited for once its attempt was given up: a
    // block's, and a start's or an end's, which may come late after a slow erase or check.
    static constexpr int ReplyHorizonMs = 2500;
    static constexpr int LongReplyHorizonMs = 4500;

    // Frame k of a run goes out again after a doubt that arose at frame `at` (0 the start, then
    // the blocks, the end frame last); crossings[k]: frame k and its reply on the line.
    int resumeAfterDoubt(const QList<ns> &crossings, int at) const;

private:
    void doubt(const char *why);
    // A well-formed reply among bytes nobody waited for pays a reply owed; where none is owed,
    // it shows that replies come twice.
    void pay(const QByteArray &bytes);
    // How many confirmations a frame needs, as things stand: more than the stray replies that
    // could stand in for it.
    int confirmationsNeeded() const;

    RunClock &clock_;
    AnswerTime answers_;
    ReplyVerdict verdict_ = ReplyVerdict::NoReply;
    int status_ = 255;
    const char *why_ = "";
    Clock::time_point earliest_{}, sentAt_{}, replyAt_{}, listenUntil_{};
    ns waitedAtSend_{}; // this thread's time spent waiting for a processor, at the send
    ns delayed_{};      // how much of it came before the reply was taken
    ns crossing_{};
    ns turnaround_{};
    Frame frame_ = Frame::Block;
    int owed_ = 0;
    bool repeats_ = false;
    bool awaitingLate_ = false; // the last attempt's reply never came: the settle waits for it
    int confirmed_ = 0;         // confirmations of the command's frame so far
    int needed_ = 1;            // confirmations it needs
    bool askedForTime_ = false; // it was asked again for a confirmation out of its time
    ns askedLate_{};            // the late turnaround it was asked again for; 0: none
    // Late confirmations asked again whose frame was then confirmed when this instrument
    // usually answers, while no stray reply was about: an instrument that now and then takes
    // longer (a sector erased before the write). Up to the longest of them it is believed.
    int tailSeen_ = 0;
    ns tailLongest_{};

    // Where the slow tail was seen. Flash takes longer where a write is the first into a sector
    // since the erase; if every late confirmation so far came from such a block for sectors of
    // some size, a late one is believed only there, and asked again elsewhere: a stray reply
    // passes for a lost frame's only where this instrument is slow.
    static constexpr int PlaceBitsFrom = 10, PlaceBitsTo = 24; // sectors of 1 KiB .. 16 MiB
    using Places = std::uint32_t; // bit k: sectors of 2^k bytes
    // The sizes for which the block going out is the first write into a sector since the start.
    Places firstInto_ = 0;
    Places askedFirstInto_ = 0;  // of the block asked again for a late confirmation
    Places tailPlaces_ = ~0u;    // the sizes every tail seen so far fits
    std::array<QSet<std::int64_t>, PlaceBitsTo + 1> touched_; // sectors written, by size
    // True when a late confirmation of the block going out fits where the tail was seen.
    bool tailPlaceFits() const;
};
