#include "protocol/ReplyJudge.h"

#include "protocol/Frames.h"

void ReplyJudge::beginRun() {
    replyOwed_ = false;
}

void ReplyJudge::portReopened() {
    replyOwed_ = false;
}

void ReplyJudge::beginAttempt() {
    doubt_ = false;
    verdict_ = ReplyVerdict::NoReply;
    status_ = 255;
}

void ReplyJudge::frameSent(Clock::time_point at, std::chrono::nanoseconds crossing, bool start) {
    // Nine tenths, so that a real reply is never refused for a clock that runs a little fast.
    // Our own delays (a write that goes out late, bytes seen late) only make a reply look later.
    earliest_ = at + crossing * 9 / 10;
    sentAt_ = at;
    horizonMs_ = start ? StartReplyHorizonMs : ReplyHorizonMs;
}

bool ReplyJudge::tooSoon(Clock::time_point now) const {
    return now < earliest_;
}

void ReplyJudge::unexplained(int bytes) {
    if (bytes <= 0) return;
    doubt_ = true;
    verdict_ = ReplyVerdict::Doubtful;
}

void ReplyJudge::keptBack(int bytes) {
    unexplained(bytes);
}

void ReplyJudge::portLost() {
    verdict_ = ReplyVerdict::PortLost;
}

ReplyVerdict ReplyJudge::judge(const QByteArray &reply, bool portOpen) {
    const qsizetype got = reply.size();
    if (!portOpen) return verdict_ = ReplyVerdict::PortLost;
    replyOwed_ = got < Frames::ReplyBytes;
    // Bytes right behind a reply, or five that are not in the form of a reply (noise, a break
    // read as five 0x00), are no confirmation however well they fit in time.
    if (got > Frames::ReplyBytes || (got == Frames::ReplyBytes && !ReplyWellFormed(reply)))
        doubt_ = true;
    if (doubt_) return verdict_ = ReplyVerdict::Doubtful;
    status_ = got == Frames::ReplyBytes ? quint8(reply[2]) : 255;
    verdict_ = status_ == 0     ? ReplyVerdict::Accepted
               : status_ == 255 ? ReplyVerdict::NoReply
                                : ReplyVerdict::Refused;
    return verdict_;
}

int ReplyJudge::status() const {
    return verdict_ == ReplyVerdict::Doubtful ? 255 : status_;
}

ReplyJudge::Clock::time_point ReplyJudge::settleUntil(Clock::time_point now) const {
    return replyOwed_ ? sentAt_ + std::chrono::milliseconds(horizonMs_) : now;
}

void ReplyJudge::settled() {
    replyOwed_ = false;
}
