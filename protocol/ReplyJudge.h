#pragma once
// What a reply means. The protocol carries no sequence numbers, so a reply is paired with its
// frame by the line's physics, and the judge rests on two principles:
//
//  I.  A reply can stand in for another frame's only once. A ledger counts the replies that
//      could: those owed (an attempt gave up on them; they may still come) and, for a while,
//      replies sent twice. A frame is confirmed once more than the strays that could stand in
//      for it unseen.
//  II. Bytes that cannot be this frame's reply cast doubt: the frame goes again, and where they
//      may be a reply of ours (one is owed, or they hold one), so do the confirmations before it
//      that such a reply may have taken the place of.
//
// Time only decides to ask again, never to refuse: a block confirmed when this instrument does
// not usually answer is sent once more, and what confirms it then is taken.
//
// The rules, each with its reason and the test that fails without it (tests/…):
//
// | rule | reason | test |
// | --- | --- | --- |
// | C1 a reply is 5 bytes in the form 10 a b a+b 16, its third byte the status | noise or a break read as bytes confirms nothing | tst_judge classified |
// | C2 bytes sooner than 90 % of the frame's time on the line after the write are not its reply | the instrument cannot answer what it has not received | tst_judge notBeforeTheFrameCrossed, tst_reception |
// | C3 nothing or fewer than 5 bytes within the time-out is no reply; the time-out counts from when the frame and its reply can have crossed | the instrument's time is its own, the line's is ours | tst_command silentInstrumentTimesOut |
// | L1 an attempt that has not seen its reply leaves it owed, past any horizon | it may still come and stand in for another | tst_judge ledger |
// | L2 a reply among bytes nobody awaited pays an owed one; one nobody owed starts a caution of 8 frames, begun again by each further one | an instrument that sent a reply twice may do it again soon | tst_judge ledger |
// | L3 a block is confirmed twice while the caution lasts, or while a reply is owed that became owed before this instrument's time was known, or whose time cannot tell (a band wider than an eighth of the time-out); the end while either; the start once | each stray can stand in once; a band learned while a reply is owed may be learned from replies one frame out of step | tst_judge confirmationsNeeded, tst_run outcomes |
// | L4 foreign bytes reach back to confirmations taken only where a reply is owed or they hold one; behind the end's reply, with nothing owed, they are the instrument's own | noise cannot have stood in for a reply; an instrument leaving programming may speak | tst_judge reachesBack, tst_run afterTheEnd |
// | L5 after a time-out, one reply alone while the line settles is the attempt's own, late: it confirms as one in time would, a block's asked again | a late reply is the instrument's; two confirmations still hold a block | tst_command unexplainedBytesCastDoubt, attempts |
// | S1 a reply in its form heard anywhere in the start's attempt is the start's | nothing went before it on a purged line; what else came is noise, and an erase is not repeated for it | tst_run noiseAroundTheStart |
// | T1 a block's confirmation outside its band is asked again, once a command | a stray lands where it lands; this instrument's own time is narrow | tst_judge outOfItsTimeAskedAgain, everyLateConfirmationIsAskedAgain |
// | T2 one sooner than the band is listened after until the band's end | a displaced reply would still be on its way | tst_judge soonerIsListenedAfter |
// | T3 this program's wait for a processor is taken off before a reply is called late | our delay is not the instrument's | tst_judge ourOwnWaitIsNotTheInstruments |
// | T4 the start's and the end's replies are not measured against the band | an erase and a check of the flash take their own time | tst_judge endAndStartOnTheirOwn |
// | T5 a block the instrument has received before since the start has a band of its own, a band that has seen nothing borrows the other's; its reply counts for new blocks' band too unless sooner than that | it may compare rather than write: its quick replies would make a displaced reply to a new block look usual; one answered as a write is a write's time | tst_judge aBlockAgainHasItsOwnBand |
//
// The command routine (Module1), the run (ProgrammingRun) and the bound of a run (RunBound) keep
// their own rules in their headers.

#include "protocol/RunClock.h"
#include "protocol/TransferState.h"

#include <QByteArray>
#include <QList>
#include <QSet>
#include <chrono>

// What bytes are, against the frame in flight: a pure reading of them, where they came.
struct Heard {
    enum class Where {
        InWait,     // taken as the reply of the frame in flight, after it crossed
        TooSoon,    // while the frame in flight was still crossing the line
        BeforeSend, // waiting when a frame was to go out
        Settling,   // while the line settled after an attempt that was not accepted
        Listening,  // after a confirmation that came sooner than usual
        AfterEnd,   // after the end's reply
    };
    enum class Kind { Nothing, Reply, Foreign } kind = Kind::Nothing;
    int status = 255;      // of a Reply
    int replies = 0;       // well-formed replies among the bytes
    bool ownAmong = false; // one of those may be the frame's own reply
    const char *why = "";
};
Heard Classify(const QByteArray &bytes, Heard::Where where);

// When this instrument answers a block: the turnarounds of the replies confirmed in a run.
class AnswerTime {
public:
    using ns = std::chrono::nanoseconds;
    // After this many replies the band is taken as known.
    static constexpr int KnownAfter = 8;
    // The band follows the most recent replies, so that an instrument that slows down as it
    // warms, or from a second flash bank on, is followed.
    static constexpr int Recent = 32;
    // Beyond any spread seen. Early: a clock that runs fast shifts every turnaround alike, and
    // so is learned. Late: delays in seeing a reply that are not our own waiting for a processor
    // (that is measured and taken off): the event loop, and whatever carries the reply to us.
    static constexpr ns EarlyFloor = std::chrono::milliseconds(1);
    static constexpr ns LateFloor = std::chrono::milliseconds(4);
    // What an adapter may add that the first replies need not have shown yet.
    static constexpr ns UnseenJitter = std::chrono::milliseconds(16);

    struct Band {
        ns lo, hi; // a turnaround is usual from lo to hi
        bool contains(ns t) const { return t >= lo && t <= hi; }
    };
    enum class Time { Usual, Early, Late };

    void add(ns turnaround);
    int count() const { return int(recent_.size()); }
    bool known() const { return count() >= KnownAfter; }
    // Whether a stray that comes anywhere in a wait of `window` would most likely fall outside
    // the band: known, and at most an eighth of the window wide.
    bool tells(ns window) const;
    // Meaningful once count() > 0.
    Band band() const;
    // A confirmation's turnaround as seen, and as early as it can have been on the wire.
    Time judge(ns seen, ns earliest) const;
    // Of every reply of the run.
    ns median() const;
    ns worst() const;

private:
    QList<ns> recent_; // in the order they came, the last Recent
    QList<ns> all_;    // sorted
};

// The strays that could stand in for a frame's reply.
class Ledger {
public:
    // How many frames go out confirmed twice after a reply nobody owed.
    static constexpr int CautionFrames = 8;
    enum class Frame { Start, Block, End };

    // An attempt has not seen its reply: it may still come, at any time. timeKnown: this
    // instrument's time was known when it did.
    void owe(bool timeKnown) {
        if (owed_++ == 0) blind_ = !timeKnown;
    }
    // Replies came that nobody awaited: each pays one owed; one nobody owed shows that this
    // instrument sends replies twice.
    void strays(int replies);
    // A frame goes out: the caution of a reply sent twice fades with each.
    void frameSent() { caution_ = std::max(0, caution_ - 1); }
    int owed() const { return owed_; }
    bool repeats() const { return caution_ > 0; }
    // Confirmations a frame needs: one more than the strays that could stand in for it unseen.
    // timeTells: its confirmation is measured against this instrument's usual time.
    int needed(Frame frame, bool timeTells) const;

private:
    int owed_ = 0;
    int caution_ = 0;    // frames still to go out confirmed twice
    bool blind_ = false; // a reply became owed before this instrument's time was known
};

class ReplyJudge {
public:
    using Clock = std::chrono::steady_clock;
    using ns = std::chrono::nanoseconds;
    using Frame = Ledger::Frame;

    // What a run has seen of the instrument, for the message at its bound.
    struct Tally {
        int noReply = 0;    // attempts that saw no reply within their time-out
        int late = 0;       // of those, whose reply then came while the line settled
        int refused = 0;    // replies with a status other than 0
        int foreign = 0;    // times bytes came that were not the reply awaited
        int askedAgain = 0; // confirmations asked again for their time
    };

    // clock: what the times given are read from, and how long this program waited for a
    // processor meanwhile.
    explicit ReplyJudge(RunClock &clock = RunClock::Real()) : clock_(clock) {}
    RunClock &clock() const { return clock_; }

    // A new run, a new command, a new attempt: each begins with nothing known of it.
    void beginRun() { run_ = RunState{}, cmd_ = CommandState{}, at_ = AttemptState{}; }
    void beginCommand() { cmd_ = CommandState{}; }
    void beginAttempt() { at_ = AttemptState{}; }
    // The port was opened again: what it may still bring is no answer to anything.
    void portReopened() { run_.awaitUntil = {}; }

    // The frame goes out now; it needs frameLine on the line, its reply replyLine. block: a
    // block's address.
    void frameSent(Clock::time_point at, ns frameLine, ns replyLine, Frame frame,
                   quint32 block = 0);
    // Bytes are waiting at `now`: true when they come too soon to be the reply.
    bool tooSoon(Clock::time_point now) const { return now < at_.earliest; }
    // The whole reply was there at `at`.
    void replyTaken(Clock::time_point at);
    // Bytes that are not the reply awaited, heard where they came.
    void foreign(const QByteArray &bytes, Heard::Where where);
    // The port failed and was closed: nothing can answer through it.
    void portLost() { at_.outcome = Outcome::PortLost; }

    // The bytes taken for the reply, once the wait has ended, and whether the port is open.
    Outcome judge(const QByteArray &reply, bool portOpen);
    // What the line brought while it settled after the attempt. It may still confirm the
    // attempt (L5, S1): then reply() is what confirmed it.
    void settledWith(const QByteArray &bytes);
    // Whether the attempt's own reply, given up on, has come among what the line brought since.
    bool lateReplyIn(const QByteArray &since) const;
    // The reply that confirmed or refused the attempt after its wait had ended; empty when none.
    const QByteArray &lateReply() const { return at_.late; }
    // What came behind the end's reply in the same breath, the instrument's own (L4).
    const QByteArray &behindEnd() const { return at_.behindEnd; }
    // What the line brought after the end's reply: Accepted unless it may be a reply of ours.
    Outcome afterEnd(const QByteArray &bytes);

    Outcome outcome() const { return at_.outcome; }
    // Confirmed, but a stray may have given that confirmation: the frame goes once more.
    bool confirmAgain() const {
        return at_.outcome == Outcome::Accepted && cmd_.confirmed < cmd_.needed;
    }
    // A confirmation sooner than usual: the line is listened to until then before the frame is
    // asked again. None otherwise.
    Clock::time_point listenUntil() const { return at_.listenUntil; }
    // ReplyStatus: the reply's third byte, or 255 for none and for bytes in doubt.
    int status() const { return at_.outcome == Outcome::Doubt ? 255 : at_.status; }
    // Why the attempt is in doubt, or why it is asked again; empty when neither.
    const char *doubtReason() const { return at_.why; }
    // The doubt reaches the confirmations taken before this attempt.
    bool reachesBack() const { return at_.reachesBack; }
    // The last reply's turnaround, also when it was not believed; 0 for a start or no reply.
    ns turnaround() const { return at_.turnaround; }
    // How long after the frame its reply was taken; 0 when none was.
    ns sinceSent() const { return at_.replyAt - at_.sentAt; }

    // The line settles after an attempt not accepted until this moment at least: a reply given
    // up on could come until then.
    Clock::time_point settleUntil(Clock::time_point now) const {
        return std::max(now, run_.awaitUntil);
    }
    // The line fell quiet when it settled.
    void settled() { run_.awaitUntil = {}; }

    int owed() const { return run_.ledger.owed(); }
    bool repeats() const { return run_.ledger.repeats(); }
    // When this instrument answers a block it receives for the first time since the erase.
    const AnswerTime &answerTime() const { return run_.answers; }
    const Tally &tally() const { return run_.tally; }

    // How long after its frame a reply given up on is still waited for: a block's, and a
    // start's or an end's, which may come late after a slow erase or check.
    static constexpr int ReplyHorizonMs = 2500;
    static constexpr int LongReplyHorizonMs = 4500;

private:
    void owe();
    void doubt(const Heard &h);
    // A reply in its form confirms or refuses the attempt, `late` when it came after the wait.
    void replied(int status, bool late);

    struct RunState {
        Ledger ledger;
        AnswerTime answers;      // a block it receives for the first time since the erase
        AnswerTime answersAgain; // one it has received before: asked again, or sent by a repair
        QSet<quint32> blocksSent; // since the start went out
        Tally tally;
        Clock::time_point awaitUntil{}; // a reply given up on may come until then
        ns slowest{};                   // the longest turnaround seen, also of a late reply
    };
    struct CommandState {
        int confirmed = 0;         // confirmations of the command's frame so far
        int needed = 1;            // confirmations it needs
        bool askedForTime = false; // asked again already for a confirmation out of its time
    };
    struct AttemptState {
        Frame frame = Frame::Block;
        bool again = false; // a block the instrument has received before
        Clock::time_point sentAt{}, earliest{}, replyAt{}, listenUntil{};
        ns waitedAtSend{}; // this thread's time spent waiting for a processor, at the send
        ns delayed{};      // how much more of it came before the reply was taken
        ns crossing{};     // the frame and its reply on the line
        ns turnaround{};
        Outcome outcome = Outcome::NoReply;
        int status = 255;
        const char *why = "";
        bool owes = false; // it has not seen its reply
        bool reachesBack = false;
        QByteArray heard; // every byte of the attempt, in the order they came
        QByteArray late;  // the reply taken after the wait
        QByteArray behindEnd;
    };

    RunClock &clock_;
    RunState run_;
    CommandState cmd_;
    AttemptState at_;
};
