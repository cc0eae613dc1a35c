#include "protocol/ReplyJudge.h"

#include "protocol/Frames.h"
#include "protocol/ReplyReception.h"

#include <algorithm>
#include <array>

void AnswerTime::clear() {
    recent_.clear();
    all_.clear();
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
    // What may be beyond the extremes seen shrinks fast as replies come: jitter shows in the
    // spread of a handful of them.
    const ns unseen =
        UnseenJitter * KnownAfter * KnownAfter / ((n + KnownAfter - 1) * (n + KnownAfter - 1));
    const ns margin = (hi - lo) / 2 + unseen;
    return {lo - margin - EarlyFloor, hi + margin + LateFloor};
}

AnswerTime::ns AnswerTime::median() const {
    return all_.isEmpty() ? ns{} : all_[all_.size() / 2];
}

AnswerTime::ns AnswerTime::worst() const {
    return all_.isEmpty() ? ns{} : all_.last();
}

void ReplyJudge::replyTaken(Clock::time_point at) {
    replyAt_ = at;
    delayed_ = clock_.processorWait() - waitedAtSend_;
}

void ReplyJudge::beginRun() {
    answers_.clear();
    owed_ = 0;
    repeats_ = false;
    tailSeen_ = 0;
    tailLongest_ = {};
    tailPlaces_ = ~0u;
    for (auto &sectors : touched_)
        sectors.clear();
    awaitingLate_ = false;
    beginCommand();
}

void ReplyJudge::beginCommand() {
    confirmed_ = 0;
    needed_ = 1;
    askedForTime_ = false;
    askedLate_ = {};
    askedFirstInto_ = 0;
}

void ReplyJudge::portReopened() {
    awaitingLate_ = false;
}

void ReplyJudge::beginAttempt() {
    listenUntil_ = {};
    verdict_ = ReplyVerdict::NoReply;
    status_ = 255;
    why_ = "";
    turnaround_ = {};
}

void ReplyJudge::frameSent(Clock::time_point at, ns frameLine, ns replyLine, Frame frame,
                           std::int64_t address, int length) {
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
    // The start erases: every sector is written anew after it.
    if (frame == Frame::Start)
        for (auto &sectors : touched_)
            sectors.clear();
    firstInto_ = 0;
    if (frame != Frame::Block || length <= 0) return;
    for (int k = PlaceBitsFrom; k <= PlaceBitsTo; ++k) {
        bool first = false;
        for (std::int64_t sector = address >> k; sector <= (address + length - 1) >> k; ++sector)
            if (!touched_[std::size_t(k)].contains(sector)) {
                touched_[std::size_t(k)].insert(sector);
                first = true;
            }
        if (first) firstInto_ |= Places(1) << k;
    }
}

bool ReplyJudge::tailPlaceFits() const {
    // No sector size fits every tail seen: the instrument is slow anywhere now and then.
    const Places places = tailPlaces_ & ((Places(2) << PlaceBitsTo) - 1);
    if (places == 0) return true;
    // The largest size that fits them all is the sector; smaller ones fit any first write too.
    int k = PlaceBitsTo;
    while (!(places & (Places(1) << k)))
        --k;
    return (firstInto_ & (Places(1) << k)) != 0;
}

bool ReplyJudge::tooSoon(Clock::time_point now) const {
    return now < earliest_;
}

void ReplyJudge::doubt(const char *why) {
    verdict_ = ReplyVerdict::Doubtful;
    if (!*why_) why_ = why;
}

void ReplyJudge::pay(const QByteArray &bytes) {
    for (qsizetype i = 0; i + Frames::ReplyBytes <= bytes.size();) {
        if (ReplyWellFormed(bytes.mid(i, Frames::ReplyBytes))) {
            if (owed_ > 0)
                --owed_;
            else
                repeats_ = true;
            i += Frames::ReplyBytes;
        } else {
            ++i;
        }
    }
}

int ReplyJudge::confirmationsNeeded() const {
    // A reply sent twice may stand in for any frame's; an owed one for a block's while this
    // instrument's time is not known well enough to tell, and for the end's, which is believed
    // whenever it comes within its time-out. Either can stand in once.
    switch (frame_) {
    case Frame::Block:
        return repeats_ || (owed_ > 0 && !answers_.known()) ? 2 : 1;
    case Frame::End:
        return repeats_ || owed_ > 0 ? 2 : 1;
    case Frame::Start:
        break;
    }
    return 1;
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
        // Seen when it was taken, but on the wire perhaps as early as our waiting for a
        // processor since the send allows.
        turnaround_ = replyAt_ - sentAt_ - crossing_;
        const ns earliest = turnaround_ - std::max(delayed_, ns{});
        if (frame_ == Frame::Block) {
            const AnswerTime::Band band =
                answers_.count() > 0 ? answers_.band() : AnswerTime::Band{ns::min(), ns::max()};
            const bool early = turnaround_ < band.lo, late = earliest > band.hi;
            // With no stray reply about, an instrument that has shown a slow tail is believed
            // within it.
            const bool strays = owed_ > 0 || repeats_;
            const bool inTail = !strays && tailSeen_ >= AnswerTime::TailAfter &&
                                earliest <= tailLongest_ * 5 / 4 + AnswerTime::LateFloor &&
                                tailPlaceFits();
            if (askedLate_ > ns{} && !early && !late && !strays) {
                // Asked again, and now answered as usual: the late one was this instrument's.
                ++tailSeen_;
                tailLongest_ = std::max(tailLongest_, askedLate_);
                tailPlaces_ &= askedFirstInto_;
            }
            if ((early || (late && !inTail)) && !askedForTime_) {
                // Not when this instrument answers: perhaps another frame's reply, come where
                // this one's would. Asked once more; what comes then is this frame's, whenever.
                askedForTime_ = true;
                if (late) {
                    askedLate_ = earliest;
                    askedFirstInto_ = firstInto_;
                }
                // A reply displaced by a stray one comes later than the stray, and no later
                // than this instrument answers.
                if (early) listenUntil_ = sentAt_ + crossing_ + band.hi;
                why_ = early ? "früher, als dieses Gerät antwortet"
                             : "später, als dieses Gerät antwortet";
                needed_ = std::max(needed_, confirmed_ + 2);
            }
            // Every confirmation is learned, also one asked again: the band follows what this
            // instrument does, and one odd reply among many is trimmed off.
            answers_.add(earliest);
        }
    }
    verdict_ = status_ == 0     ? ReplyVerdict::Accepted
               : status_ == 255 ? ReplyVerdict::NoReply
                                : ReplyVerdict::Refused;
    if (verdict_ == ReplyVerdict::Accepted) {
        ++confirmed_;
        needed_ = std::max(needed_, confirmationsNeeded());
    }
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
           std::chrono::milliseconds(frame_ == Frame::Block ? ReplyHorizonMs : LongReplyHorizonMs);
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
