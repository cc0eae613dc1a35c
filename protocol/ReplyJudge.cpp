#include "protocol/ReplyJudge.h"

#include "protocol/Frames.h"
#include "protocol/ReplyReception.h"

#include <algorithm>
#include <array>

namespace {
int wellFormedReplies(const QByteArray &bytes) {
    int n = 0;
    for (qsizetype i = 0; i + Frames::ReplyBytes <= bytes.size();) {
        if (ReplyWellFormed(bytes.mid(i, Frames::ReplyBytes))) {
            ++n;
            i += Frames::ReplyBytes;
        } else {
            ++i;
        }
    }
    return n;
}
} // namespace

Heard Classify(const QByteArray &bytes, Heard::Where where) {
    Heard h;
    if (bytes.isEmpty()) return h;
    h.replies = wellFormedReplies(bytes);
    if (where != Heard::Where::InWait) {
        h.kind = Heard::Kind::Foreign;
        switch (where) {
        case Heard::Where::TooSoon:
            h.why = "zu früh";
            break;
        case Heard::Where::BeforeSend:
            h.why = "Bytes vor dem Senden";
            break;
        case Heard::Where::Settling:
            h.why = "Bytes beim Beruhigen der Leitung";
            break;
        case Heard::Where::Listening:
            h.why = "nach einer zu frühen Antwort";
            break;
        default:
            h.why = "nach der Antwort auf den Endebefehl";
        }
        return h;
    }
    if (bytes.size() < Frames::ReplyBytes) return h; // cut short: no reply
    h.ownAmong = h.replies > 0;
    if (bytes.size() > Frames::ReplyBytes) {
        h.kind = Heard::Kind::Foreign;
        h.why = "Bytes hinter der Antwort";
    } else if (h.replies == 0) {
        h.kind = Heard::Kind::Foreign;
        h.why = "keine Antwort in ihrer Form";
    } else {
        h.kind = Heard::Kind::Reply;
        h.status = quint8(bytes[2]);
    }
    return h;
}

void AnswerTime::add(ns turnaround) {
    recent_.append(turnaround);
    if (recent_.size() > Recent) recent_.removeFirst();
    all_.insert(std::upper_bound(all_.cbegin(), all_.cend(), turnaround), turnaround);
}

AnswerTime::Band AnswerTime::band() const {
    // The outer eighth on each side is left out, so that one odd reply among many (a sector
    // erased, a reply held by an adapter's timer) does not widen the band; the margin covers
    // the spread seen, our own delays, and while few replies are known what an adapter may
    // still add.
    std::array<ns, Recent> sorted{};
    const int n = count(), trim = n / 8;
    std::copy(recent_.cbegin(), recent_.cend(), sorted.begin());
    std::sort(sorted.begin(), sorted.begin() + n);
    const ns lo = sorted[std::size_t(trim)], hi = sorted[std::size_t(n - 1 - trim)];
    // What may lie beyond the extremes seen shrinks fast as replies come: jitter shows in the
    // spread of a handful of them.
    const ns unseen =
        UnseenJitter * KnownAfter * KnownAfter / ((n + KnownAfter - 1) * (n + KnownAfter - 1));
    const ns margin = (hi - lo) / 2 + unseen;
    return {lo - margin - EarlyFloor, hi + margin + LateFloor};
}

bool AnswerTime::tells(ns window) const {
    if (!known()) return false;
    const Band b = band();
    return (b.hi - b.lo) * 8 <= window;
}

AnswerTime::Time AnswerTime::judge(ns seen, ns earliest) const {
    if (count() == 0) return Time::Usual;
    const Band b = band();
    return seen < b.lo ? Time::Early : earliest > b.hi ? Time::Late : Time::Usual;
}

AnswerTime::ns AnswerTime::median() const {
    return all_.isEmpty() ? ns{} : all_[all_.size() / 2];
}

AnswerTime::ns AnswerTime::worst() const {
    return all_.isEmpty() ? ns{} : all_.last();
}

void Ledger::strays(int replies) {
    for (; replies > 0; --replies) {
        if (owed_ > 0)
            --owed_;
        else
            caution_ = CautionFrames;
    }
    if (owed_ == 0) blind_ = false;
}

int Ledger::needed(Frame frame, bool timeTells) const {
    switch (frame) {
    case Frame::Start:
        // Nothing went before it on a purged line, and blocks sent after a start that did not
        // take are refused: the blocks settle it, not a second erase.
        return 1;
    case Frame::Block:
    case Frame::End:
        break;
    }
    return repeats() || (owed_ > 0 && (!timeTells || blind_)) ? 2 : 1;
}

void ReplyJudge::frameSent(Clock::time_point at, ns frameLine, ns replyLine, Frame frame,
                           quint32 block) {
    // Nine tenths, so that a real reply is never refused for a clock that runs a little fast.
    // Our own delays, and a network before a device server, only make a reply look later:
    // measured from the write, the bound holds however long the path.
    at_.earliest = at + frameLine * 9 / 10;
    at_.sentAt = at_.replyAt = at;
    at_.waitedAtSend = clock_.processorWait();
    at_.crossing = frameLine + replyLine;
    at_.frame = frame;
    // An erase leaves the instrument holding none of the blocks.
    if (frame == Frame::Start) run_.blocksSent.clear();
    if (frame == Frame::Block) {
        at_.again = run_.blocksSent.contains(block);
        run_.blocksSent.insert(block);
    }
    run_.ledger.frameSent();
}

void ReplyJudge::replyTaken(Clock::time_point at) {
    at_.replyAt = at;
    at_.delayed = clock_.processorWait() - at_.waitedAtSend;
}

void ReplyJudge::owe() {
    if (at_.owes) return;
    at_.owes = true;
    run_.ledger.owe(run_.answers.known());
    // The horizon is the instrument's; a device server's path, or a slow instrument, adds its
    // own time to every reply, as the longest turnaround seen tells.
    run_.awaitUntil =
        at_.sentAt + run_.slowest +
        std::chrono::milliseconds(at_.frame == Frame::Block ? ReplyHorizonMs : LongReplyHorizonMs);
}

void ReplyJudge::doubt(const Heard &h) {
    ++run_.tally.foreign;
    // The replies around a start are counted once its attempt is over (S1).
    if (at_.frame != Frame::Start || at_.sentAt == Clock::time_point{})
        run_.ledger.strays(h.replies - (h.ownAmong ? 1 : 0));
    at_.outcome = Outcome::Doubt;
    at_.reachesBack = at_.reachesBack || h.replies > 0 || run_.ledger.owed() > 0;
    if (!*at_.why) at_.why = h.why;
}

void ReplyJudge::foreign(const QByteArray &bytes, Heard::Where where) {
    at_.heard += bytes;
    const Heard h = Classify(bytes, where);
    if (h.kind == Heard::Kind::Nothing) return;
    doubt(h);
}

Outcome ReplyJudge::judge(const QByteArray &reply, bool portOpen) {
    if (!portOpen) return at_.outcome = Outcome::PortLost;
    at_.heard += reply;
    const Heard h = Classify(reply, Heard::Where::InWait);
    // Not seen among what came: the reply is owed, also when bytes too soon ended the wait.
    if (!h.ownAmong) owe();
    if (at_.outcome == Outcome::Doubt) return at_.outcome;
    if (h.kind == Heard::Kind::Foreign && at_.frame == Frame::End && h.replies == 1 &&
        ReplyWellFormed(reply.left(Frames::ReplyBytes)) && run_.ledger.owed() == 0 &&
        !run_.ledger.repeats()) {
        // The end's reply, and what the instrument says as it leaves programming.
        at_.behindEnd = reply.mid(Frames::ReplyBytes);
        replied(quint8(reply[2]), false);
        return at_.outcome;
    }
    if (h.kind == Heard::Kind::Foreign) {
        doubt(h);
        return at_.outcome;
    }
    if (h.kind == Heard::Kind::Nothing) {
        ++run_.tally.noReply;
        return at_.outcome = Outcome::NoReply;
    }
    replied(h.status, false);
    return at_.outcome;
}

void ReplyJudge::replied(int status, bool late) {
    at_.status = status;
    if (status != 0) {
        ++run_.tally.refused;
        at_.outcome = Outcome::Refused;
        return;
    }
    at_.outcome = Outcome::Accepted;
    // A block received before is measured against its own band, a new one against its own: the
    // band that has seen nothing yet (every first write late, say) borrows what the other knows.
    AnswerTime &own = at_.again ? run_.answersAgain : run_.answers;
    const AnswerTime &answers = own.count() > 0 ? own
                                : at_.again     ? run_.answers
                                                : run_.answersAgain;
    // Whether this confirmation was measured against a band that could tell a stray.
    const bool timeTells = at_.frame == Frame::Block &&
                           answers.tells(std::chrono::milliseconds(ReplyReception::ReplyTimeoutMs));
    if (at_.frame == Frame::Block) {
        // Seen when it was taken, but on the wire perhaps as early as our waiting for a
        // processor since the send allows.
        at_.turnaround = at_.replyAt - at_.sentAt - at_.crossing;
        const ns earliest = at_.turnaround - std::max(at_.delayed, ns{});
        run_.slowest = std::max(run_.slowest, earliest);
        const AnswerTime::Time time =
            late ? AnswerTime::Time::Late : answers.judge(at_.turnaround, earliest);
        if (time != AnswerTime::Time::Usual && !cmd_.askedForTime) {
            // Perhaps another frame's reply, come where this one's would: asked once more.
            cmd_.askedForTime = true;
            ++run_.tally.askedAgain;
            cmd_.needed = std::max(cmd_.needed, cmd_.confirmed + 2);
            if (time == AnswerTime::Time::Early) {
                // A displaced reply may be a first write's or one of a block received before.
                ns hi = answers.band().hi;
                for (const AnswerTime *a : {&run_.answers, &run_.answersAgain})
                    if (a->count() > 0) hi = std::max(hi, a->band().hi);
                at_.listenUntil = at_.sentAt + at_.crossing + hi;
            }
            at_.why = time == AnswerTime::Time::Early ? "früher, als dieses Gerät antwortet"
                                                      : "später, als dieses Gerät antwortet";
        }
        // Every confirmation in its time-out is learned, also one asked again: the band follows
        // what this instrument does, and one odd reply among many is trimmed off.
        if (!late) {
            own.add(earliest);
            // A block received before that is answered as a write is, not sooner, is one more
            // sample of this instrument's write time (a second flash bank is followed as fast).
            if (at_.again &&
                run_.answers.judge(at_.turnaround, earliest) != AnswerTime::Time::Early)
                run_.answers.add(earliest);
        }
    }
    ++cmd_.confirmed;
    cmd_.needed = std::max(cmd_.needed, run_.ledger.needed(at_.frame, timeTells));
}

namespace {
// The first reply in its form among the bytes, or none.
QByteArray firstReply(const QByteArray &bytes) {
    for (qsizetype i = 0; i + Frames::ReplyBytes <= bytes.size(); ++i)
        if (ReplyWellFormed(bytes.mid(i, Frames::ReplyBytes)))
            return bytes.mid(i, Frames::ReplyBytes);
    return {};
}
} // namespace

void ReplyJudge::settledWith(const QByteArray &bytes) {
    // What the attempt took when its time ran out, and what came after: one reply.
    const QByteArray whole = at_.heard + bytes;
    at_.heard = whole;
    const Heard h = Classify(bytes, Heard::Where::Settling);
    const bool unanswered = at_.outcome == Outcome::NoReply || at_.outcome == Outcome::Doubt;
    if (at_.frame == Frame::Start && unanswered) {
        // The start's reply cannot be displaced: the first reply among all its attempt heard is
        // its own, and the others are strays; what else came is noise.
        const int replies = wellFormedReplies(whole);
        if (replies == 0) return;
        run_.ledger.strays(at_.owes ? replies : replies - 1);
        const QByteArray reply = firstReply(whole);
        at_.late = reply;
        at_.reachesBack = false;
        at_.why = "";
        if (at_.outcome == Outcome::NoReply) ++run_.tally.late;
        replied(quint8(reply[2]), true);
        return;
    }
    if (h.kind == Heard::Kind::Nothing) return;
    // One reply alone after the attempt gave up on its own, perhaps begun before its time ran
    // out, is that reply, late; behind the end's, what the instrument says as it leaves
    // programming may follow, where nothing else is owed.
    const QByteArray reply = whole.left(Frames::ReplyBytes);
    const bool alone = whole.size() == Frames::ReplyBytes ||
                       (at_.frame == Frame::End && wellFormedReplies(whole) == 1 &&
                        run_.ledger.owed() == 1 && !run_.ledger.repeats());
    if (at_.owes && at_.outcome == Outcome::NoReply && ReplyWellFormed(reply) && alone) {
        ++run_.tally.late;
        run_.ledger.strays(1);
        at_.late = reply;
        at_.behindEnd = whole.mid(Frames::ReplyBytes);
        at_.replyAt = clock_.now();
        replied(quint8(reply[2]), true);
        return;
    }
    doubt(h);
}

bool ReplyJudge::lateReplyIn(const QByteArray &since) const {
    return at_.owes && ReplyWellFormed(QByteArray(at_.heard + since).left(Frames::ReplyBytes));
}

Outcome ReplyJudge::afterEnd(const QByteArray &bytes) {
    beginAttempt();
    foreign(bytes, Heard::Where::AfterEnd);
    if (at_.outcome == Outcome::Doubt && at_.reachesBack) return at_.outcome;
    // Anything else is the instrument's own affair once it has left programming.
    return at_.outcome = Outcome::Accepted;
}
