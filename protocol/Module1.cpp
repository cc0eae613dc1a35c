#include "protocol/Module1.h"

#include "protocol/CommandFront.h"
#include "protocol/Frames.h"
#include "protocol/MessageBoxes.h"
#include "protocol/ReplyJudge.h"
#include "protocol/ReplyReception.h"
#include "protocol/RunClock.h"
#include "protocol/TrafficMonitor.h"
#include "serial/SerialComm.h"

#include <functional>

RunClock &Module1::clock() const {
    return c_.judge.clock();
}

void Module1::beginRun(RunBound::Limits limits) {
    settleFirst_ = false;
    limits_ = limits;
    bound_ = RunBound(limits, clock().now());
    c_.judge.beginRun();
}

void Module1::renewBound() {
    bound_ = RunBound(limits_, clock().now());
}

void Module1::portReopened() {
    settleFirst_ = true;
    c_.judge.portReopened();
}

void Module1::ExchangeFrame() {
    const QByteArray frame = AssembleFrame(st_);
    st_.ReplyData.clear();
    st_.ReplyLength = Frames::ReplyBytes;
    st_.ReplyStatus = 255;
    ReplyJudge &judge = c_.judge;
    judge.beginAttempt();
    if (!c_.Comm1.PortOpen()) { // failed and closed, now or before: nothing can answer
        judge.portLost();
        return;
    }

    // What comes before the frame goes out cannot be its reply: it came right behind the reply
    // taken last, or while a box was open, or it is noise. The frame is kept back.
    QByteArray waiting;
    if (settleFirst_) {
        waiting = settle();
    } else if (!(waiting = c_.Comm1.DiscardInput()).isEmpty()) {
        waiting += settle(); // and whatever else is on its way
    }
    if (!waiting.isEmpty() || !c_.Comm1.PortOpen()) {
        if (!c_.Comm1.PortOpen()) {
            judge.portLost();
            return;
        }
        judge.foreign(waiting, Heard::Where::BeforeSend);
        c_.front.replyJudged({}, judge.status(), {}, {}, judge.doubtReason());
        return;
    }

    if (c_.monitor.monitorOn()) c_.monitor.setSentText(MonitorHex(st_.FramePayload, 32));
    // What goes out is told by the frame itself: the control frames by their payload.
    const int sending = st_.FrameCommand != Frames::ControlCommand ? Command::Data
                        : st_.FrameLength == 10                    ? Command::Start
                                                                   : Command::End;
    const auto frameLine = LineTime(frame.size(), c_.Comm1.Settings);
    const auto replyLine = LineTime(Frames::ReplyBytes, c_.Comm1.Settings);
    judge.frameSent(clock().now(), frameLine, replyLine,
                    sending == Command::Start ? ReplyJudge::Frame::Start
                    : sending == Command::End ? ReplyJudge::Frame::End
                                              : ReplyJudge::Frame::Block,
                    st_.BlockAddress);
    bound_.frameSent(sending == Command::Start);
    c_.Comm1.Output(frame);
    ++framesSent_;
    const bool block = sending == Command::Data;
    c_.front.frameSent(sending, block ? st_.BlockAddress : 0,
                       block ? int(st_.BlockData.size()) : 0);
    if (sending == Command::Start) c_.front.startSent();
    if (!c_.Comm1.PortOpen()) {
        judge.portLost();
        return;
    }
    st_.ReplyPending = 1;
    // Every attempt gets its whole time-out from the moment the frame can have reached the
    // instrument, and its reply crossed back: the line's time is ours, not the instrument's.
    c_.Timer1.startPlus(std::chrono::ceil<std::chrono::milliseconds>(frameLine + replyLine));

    while (st_.ReplyPending == 1)
        clock().LetEventsRun();

    // A reply cut short when the time ran out is this attempt's, not a stray.
    if (st_.ReplyData.isEmpty() && judge.outcome() != Outcome::Doubt)
        st_.ReplyData = c_.Comm1.Input();
    const Outcome outcome = judge.judge(st_.ReplyData, c_.Comm1.PortOpen());
    c_.front.replyJudged(st_.ReplyData, judge.status(), judge.sinceSent(), judge.turnaround(),
                         judge.doubtReason());
    if (!judge.behindEnd().isEmpty()) {
        // The reply is what the routine takes; what came behind it is heard after the end.
        afterEnd_ = judge.behindEnd();
        st_.ReplyData.chop(afterEnd_.size());
    }
    // An attempt not accepted is followed by a settled line before anything else happens: a
    // reply still on its way is not taken for the next frame's, and what the line shows is
    // known before the user is asked.
    if (outcome != Outcome::Accepted && outcome != Outcome::PortLost) {
        judge.settledWith(settle());
        if (!judge.lateReply().isEmpty()) {
            // It answered after all, while the line settled.
            st_.ReplyData = judge.lateReply();
            afterEnd_ = judge.behindEnd();
            c_.front.replyJudged(st_.ReplyData, judge.status(), judge.sinceSent(),
                                 judge.turnaround(), judge.doubtReason());
        }
    }
    if (!c_.Comm1.PortOpen()) judge.portLost();
    st_.ReplyStatus = judge.status();
}

QByteArray Module1::settle() {
    // Until the line is quiet and, if the last attempt's reply never came, until it can no longer
    // come; a line that keeps chattering is settled again before the next frame.
    const Clock::time_point began = clock().now();
    const Drained d =
        DrainLine(ReplyReception::ReplyTimeoutMs, c_.judge.settleUntil(began), SettleBoundMs,
                  [this](const QByteArray &so) { return c_.judge.lateReplyIn(so); });
    settleFirst_ = !d.quiet;
    if (d.quiet) c_.judge.settled();
    c_.front.settled(d.bytes,
                     std::chrono::duration_cast<std::chrono::milliseconds>(clock().now() - began));
    return d.bytes;
}

namespace {
// Lets events run, dropping every byte that arrives, until the line has been quiet for a while
// and a given moment has passed, or a bound has passed, or the port fails.
class LineDrain : public QObject {
    Q_OBJECT
public:
    using Clock = std::chrono::steady_clock;
    LineDrain(SerialComm &comm, RunClock &clock, int quietMs, Clock::time_point notBefore,
              int boundMs, std::function<bool(const QByteArray &)> awaitedCame)
        : comm_(comm), clock_(clock), quietMs_(quietMs), notBefore_(notBefore), end_(clock),
          bound_(clock), awaitedCame_(std::move(awaitedCame)) {
        for (RunTimer *t : {&end_, &bound_})
            t->setSingleShot(true);
        connect(&end_, &RunTimer::timeout, this, [this] {
            quiet_ = true;
            done_ = true;
        });
        connect(&bound_, &RunTimer::timeout, this, [this] { done_ = true; });
        connect(&comm_, &SerialComm::Failed, this, [this] { done_ = true; });
        connect(&comm_, &SerialComm::OnComm, this, [this] {
            dropped_ += comm_.DiscardInput();
            // What was waited for until then has come: only a quiet line is waited for now.
            if (awaitedCame_ && awaitedCame_(dropped_)) notBefore_ = clock_.now();
            arm();
        });
        bound_.setInterval(boundMs);
    }
    std::pair<QByteArray, bool> run() {
        // What has come in is taken; what the system still holds arrives through the events, so
        // no byte goes unseen.
        dropped_ = comm_.Input();
        arm();
        bound_.start();
        while (!done_ && comm_.PortOpen())
            clock_.LetEventsRun();
        return {dropped_, quiet_ && comm_.PortOpen()};
    }

private:
    void arm() {
        const auto untilThen =
            std::chrono::ceil<std::chrono::milliseconds>(notBefore_ - clock_.now());
        end_.start(std::max<int>(quietMs_, int(untilThen.count())));
    }

    SerialComm &comm_;
    RunClock &clock_;
    int quietMs_;
    Clock::time_point notBefore_;
    RunTimer end_, bound_;
    std::function<bool(const QByteArray &)> awaitedCame_;
    QByteArray dropped_;
    bool quiet_ = false, done_ = false;
};
} // namespace

Module1::Drained Module1::DrainLine(int quietMs, Clock::time_point notBefore, int boundMs,
                                    const std::function<bool(const QByteArray &)> &awaitedCame) {
    auto [bytes, quiet] =
        LineDrain(c_.Comm1, clock(), quietMs, notBefore, boundMs, awaitedCame).run();
    return {std::move(bytes), quiet};
}

Outcome Module1::ListenAfterEnd() {
    // While a reply is owed it may have stood in for the end's, and the end's own may come
    // later than this instrument's usual answer: the line is listened to until the horizon of a
    // late reply.
    const int listen =
        c_.judge.owed() > 0 ? ReplyJudge::ReplyHorizonMs : ReplyReception::ReplyTimeoutMs;
    if (!c_.Comm1.PortOpen()) return Outcome::PortLost;
    const Drained d = DrainLine(listen, clock().now(), listen);
    c_.front.settled(d.bytes, std::chrono::milliseconds(listen));
    if (!c_.Comm1.PortOpen()) return Outcome::PortLost;
    afterEnd_ += d.bytes;
    // What came is shown, as a reply would be, whatever it means.
    if (!afterEnd_.isEmpty() && c_.monitor.monitorOn())
        c_.monitor.setReplyText(MonitorHex(afterEnd_));
    const Outcome said = c_.judge.afterEnd(afterEnd_);
    if (said == Outcome::Accepted && !afterEnd_.isEmpty()) c_.front.saidAfterEnd(afterEnd_);
    return said;
}

void Module1::end(Outcome outcome) {
    st_.LastOutcome = outcome;
    st_.CommandFailed = FailsCommand(outcome);
}

void Module1::SendCommand(int code) {
    afterEnd_.clear();
    st_.ReplyData.clear();
    st_.ReplyStatus = 0;
    end(Outcome::Accepted);
    c_.judge.beginCommand();
    end(attempts(code));
}

Outcome Module1::attempts(int code) {
    int RetryCount = 0;
    int answer = 0;
    Outcome last = Outcome::Accepted;
    bool again = false; // confirmed, but to be confirmed once more
    while (again || st_.ReplyData.size() != Frames::ReplyBytes || st_.ReplyStatus != 0) {
        st_.CommandFailed = false;
        // Nothing goes out after a stop was asked for: not a retry, not an erase more.
        if (c_.front.stopRequested()) return Outcome::Stopped;
        reached_ = bound_.reached(clock().now(), code == Command::Start);
        if (reached_ != RunBound::Reached::No) return Outcome::Bounded;
        bool built = true;
        switch (code) {
        case Command::Start:
            c_.front.contact(true);
            BuildStartFrame(st_);
            // Timer1's interval for a start attempt: the erase may take long.
            c_.Timer1.setInterval(StartReplyTimeoutMs);
            break;
        case Command::Data:
            c_.front.contact(false);
            built = BuildDataFrame(st_);
            break;
        case Command::End:
            BuildEndFrame(st_);
            // Timer1's interval for an end attempt: the instrument may check its flash first.
            c_.Timer1.setInterval(EndReplyTimeoutMs);
            break;
        default:
            built = BuildDataFrame(st_);
        }
        // Nothing that cannot be expressed on the wire is sent; the caller must stop.
        if (!built) return Outcome::Unbuildable;
        ExchangeFrame();
        const Outcome outcome = c_.judge.outcome();
        if (outcome == Outcome::PortLost) return Outcome::PortLost;
        // Not this command's failure: the caller sends again what is in doubt.
        if (outcome == Outcome::Doubt) return Outcome::Doubt;
        // A confirmation that another frame's reply may have given is asked again: no failed
        // attempt, and nothing the user needs to hear of.
        again = c_.judge.confirmAgain();
        if (again && c_.judge.listenUntil() > clock().now()) {
            // Where a stray reply stood in, this frame's own comes before it is asked again.
            const Drained d = DrainLine(0, c_.judge.listenUntil(), SettleBoundMs);
            c_.front.settled(d.bytes, std::chrono::milliseconds(0));
            if (!c_.Comm1.PortOpen()) return Outcome::PortLost;
            if (!d.bytes.isEmpty()) {
                c_.judge.foreign(d.bytes, Heard::Where::Listening);
                return Outcome::Doubt;
            }
        }
        if (again) continue;
        if (st_.ReplyStatus == 16) RetryCount = 1;
        ++RetryCount;
        if (RetryCount <= 1) continue;

        const int status = st_.ReplyStatus;
        if (status == 255) {
            c_.front.contact(false);
            c_.front.noReply(true);
            answer = c_.boxes.MsgBox(QString::fromUtf8(Texts::NoReply), MsgStyle::CriticalRetry,
                                     QString::fromUtf8(Texts::ErrorTitle));
            c_.front.noReply(false);
        } else if (status == 16) {
            answer = c_.boxes.MsgBox(QString::fromUtf8(Texts::FlashError), MsgStyle::Critical,
                                     QString::fromUtf8(Texts::ErrorTitle));
            st_.ReplyStatus = 0;
            last = Outcome::FlashError;
        } else if (status != 0) {
            // Status 32, and any other refusal: asking beats resending forever.
            answer = c_.boxes.MsgBox(QString::fromUtf8(Texts::TransmissionError),
                                     MsgStyle::CriticalRetry, QString::fromUtf8(Texts::ErrorTitle));
        }
        RetryCount = 0;
        if (answer == MsgAnswer::Cancel) return Outcome::GivenUp;
        // The user had a say: a person's begins a new bound, a policy's counts the erases anew.
        if (c_.front.personAnswers())
            renewBound();
        else
            bound_.userAsked();
    }
    return last;
}

#include "Module1.moc"
