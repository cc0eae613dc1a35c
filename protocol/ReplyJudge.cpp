#include "protocol/ReplyJudge.h"

#include "protocol/Frames.h"
#include "protocol/ReplyReception.h"

#include <algorithm>

void AnswerTime::add(ns turnaround) {
    samples_.insert(std::upper_bound(samples_.cbegin(), samples_.cend(), turnaround), turnaround);
}

AnswerTime::Band AnswerTime::band() const {
    // The outer eighth on each side is left out, so that one wrong reply among many does not
    // widen the band; the margin covers the spread seen, our own delays, and while few replies
    // are known what an adapter may still add.
    const int n = count(), trim = n / 8;
    const ns lo = samples_[trim], hi = samples_[n - 1 - trim];
    // What may be beyond the extremes seen shrinks fast as replies come: jitter shows in the
    // spread of a handful of them.
    const ns unseen =
        UnseenJitter * KnownAfter * KnownAfter / ((n + KnownAfter - 1) * (n + KnownAfter - 1));
    const ns margin = (hi - lo) / 2 + unseen;
    return {lo - margin - EarlyFloor, hi + margin + LateFloor};
}

AnswerTime::ns AnswerTime::median() const {
    return samples_.isEmpty() ? ns{} : samples_[samples_.size() / 2];
}

AnswerTime::ns AnswerTime::worst() const {
    return samples_.isEmpty() ? ns{} : samples_.last();
}

void ReplyJudge::replyTaken(Clock::time_point at) {
    replyAt_ = at;
    delayed_ = clock_.processorWait() - waitedAtSend_;
}

void ReplyJudge::beginRun() {
    answers_.clear();
    owed_ = 0;
    awaitingLate_ = false;
}

void ReplyJudge::portReopened() {
    awaitingLate_ = false;
}

void ReplyJudge::beginAttempt() {
    verdict_ = ReplyVerdict::NoReply;
    status_ = 255;
    why_ = "";
    turnaround_ = {};
}

void ReplyJudge::frameSent(Clock::time_point at, ns frameLine, ns replyLine, Frame frame) {
    // Nine tenths, so that a real reply is never refused for a clock that runs a little fast.
    // Our own delays (a write that goes out late, bytes seen late) only make a reply look later,
    // and so does a network between us and a serial device server: the frame crosses the line
    // after it crossed the network, and its reply crosses the network after the line. Measured
    // from the write, the bound holds however long the path; the path's round trip is part of
    // every turnaround learned, and of the band.
    earliest_ = at + frameLine * 9 / 10;
    sentAt_ = replyAt_ = at;
    waitedAtSend_ = clock_.processorWait();
    delayed_ = {};
    crossing_ = frameLine + replyLine;
    frame_ = frame;
}

bool ReplyJudge::tooSoon(Clock::time_point now) const {
    return now < earliest_;
}

void ReplyJudge::doubt(const char *why) {
    verdict_ = ReplyVerdict::Doubtful;
    if (!*why_) why_ = why;
}

void ReplyJudge::pay(const QByteArray &bytes) {
    for (qsizetype i = 0; i + Frames::ReplyBytes <= bytes.size() && owed_ > 0;) {
        if (ReplyWellFormed(bytes.mid(i, Frames::ReplyBytes))) {
            --owed_;
            i += Frames::ReplyBytes;
        } else {
            ++i;
        }
    }
}

void ReplyJudge::unexplained(const QByteArray &bytes, const char *why) {
    if (bytes.isEmpty()) return;
    pay(bytes);
    doubt(why);
}

void ReplyJudge::keptBack(const QByteArray &bytes) {
    unexplained(bytes, "Bytes vor dem Senden");
}

void ReplyJudge::portLost() {
    verdict_ = ReplyVerdict::PortLost;
}

ReplyVerdict ReplyJudge::judge(const QByteArray &reply, bool portOpen) {
    if (!portOpen) return verdict_ = ReplyVerdict::PortLost;
    const qsizetype got = reply.size();
    // An attempt without its reply leaves it owed, past the settle's horizon too: it may yet
    // come and stand in for another frame's.
    awaitingLate_ = got < Frames::ReplyBytes;
    if (awaitingLate_) ++owed_;
    // Bytes right behind a reply, or five that are not in the form of a reply (noise, a break
    // read as five 0x00), are no confirmation however well they fit in time.
    if (got > Frames::ReplyBytes) {
        pay(reply.mid(Frames::ReplyBytes));
        doubt("Bytes hinter der Antwort");
    } else if (got == Frames::ReplyBytes && !ReplyWellFormed(reply)) {
        doubt("keine Antwort in ihrer Form");
    }
    if (verdict_ == ReplyVerdict::Doubtful) return verdict_;
    status_ = got == Frames::ReplyBytes ? quint8(reply[2]) : 255;
    if (status_ == 0 && frame_ != Frame::Start) {
        // Only a confirmation can hide a lost frame; a refusal is sent again anyway.
        // Seen when it was taken, but on the wire perhaps as early as our waiting for a
        // processor since the send allows.
        turnaround_ = replyAt_ - sentAt_ - crossing_;
        const ns earliest = turnaround_ - std::max(delayed_, ns{});
        if (answers_.count() > 0) {
            const AnswerTime::Band band = answers_.band();
            const bool early = frame_ == Frame::Block && turnaround_ < band.lo;
            if (early || earliest > band.hi) {
                // Another frame's reply, most likely one owed; while few replies are known the
                // band may be the one that is wrong, and it is learned afresh.
                pay(reply);
                if (!answers_.known()) answers_.clear();
                doubt(early ? "früher, als dieses Gerät antwortet"
                            : "später, als dieses Gerät antwortet");
                return verdict_;
            }
        }
        if (frame_ == Frame::Block) answers_.add(earliest);
    }
    verdict_ = status_ == 0     ? ReplyVerdict::Accepted
               : status_ == 255 ? ReplyVerdict::NoReply
                                : ReplyVerdict::Refused;
    return verdict_;
}

int ReplyJudge::status() const {
    return verdict_ == ReplyVerdict::Doubtful ? 255 : status_;
}

ReplyJudge::Clock::time_point ReplyJudge::settleUntil(Clock::time_point now) const {
    if (!awaitingLate_) return now;
    // The horizon is the instrument's; a device server's path, or a slow instrument, adds its
    // own time to every reply, as the longest turnaround seen tells.
    const ns path = std::max(answers_.worst(), ns{});
    return sentAt_ + path +
           std::chrono::milliseconds(frame_ == Frame::Start ? StartReplyHorizonMs : ReplyHorizonMs);
}

int ReplyJudge::resumeAfterDoubt(const QList<ns> &crossings, int at) const {
    // A doubt means that some reply may have been credited to the frame after its own. Such a
    // wrong credit passes on to the next frame unseen only if the reply it displaced lands in
    // that frame's band. It comes after the stray reply that took its place by at most the width
    // of the band (and a tenth of its own frame's time on the line, by which a reply may look
    // early); the next frame's band opens its crossing and the shortest turnaround after its
    // write. So the credits in doubt are those of the frames right before the doubt that are
    // short enough, and of the frame before them, which took the stray reply. Two frames back
    // at the least. Before any reply is known, one may come up to its time-out: back to the
    // start, which erases, and every block goes out again.
    const AnswerTime::Band band =
        answers_.count() > 0
            ? answers_.band()
            : AnswerTime::Band{-crossings.value(0) * 10,
                               std::chrono::milliseconds(ReplyReception::ReplyTimeoutMs)};
    auto passesOn = [&](int k) {
        const ns opens = std::max(crossings[k] * 9 / 10, crossings[k] + band.lo);
        const ns displacedWithin = std::min(crossings[k - 1] / 10 + band.hi, band.hi - band.lo);
        return opens <= displacedWithin;
    };
    int from = std::min(at, int(crossings.size())) - 1;
    while (from > 0 && passesOn(from))
        --from;
    return std::max(0, std::min(from, at - 2));
}
