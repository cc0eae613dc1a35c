#include "protocol/Module1.h"

#include "protocol/Frames.h"
#include "serial/ReplyReception.h"
#include "serial/SerialComm.h"
#include "serial/TrafficMonitor.h"
#include "shell/MessageBox.h"
#include "status/StatusRow.h"

#include <QEventLoop>
#include <QTimer>

void Module1::ExchangeFrame() {
    const QByteArray frame = AssembleFrame(st_);
    st_.ReplyData.clear();
    st_.ReplyLength = Frames::ReplyBytes;
    if (c_.monitor.monitorOn()) c_.monitor.setSentText(MonitorHex(st_.FramePayload, 32));

    // A late reply to the attempt that failed may still be on its way: taken as the answer to
    // this one, it would pair every later reply with the wrong frame. Wait until it is in.
    if (settleFirst_ && c_.Comm1.PortOpen())
        DrainLine(ReplyReception::ReplyTimeoutMs, SettleBoundMs);
    else
        c_.Comm1.DiscardInput(); // leftovers must not be taken for the reply to this frame
    settleFirst_ = true;         // until a proper reply says otherwise
    if (c_.Comm1.PortOpen()) c_.Comm1.Output(frame);
    if (!c_.Comm1.PortOpen()) {
        // The port has failed and been closed, now or before: nothing can answer.
        st_.ReplyStatus = 255;
        return;
    }
    st_.ReplyPending = 1;
    c_.Timer1.start(); // restarts a timer still running, so every attempt gets its full time

    QEventLoop loop;
    QObject::connect(&c_.reception, &ReplyReception::waitEnded, &loop, &QEventLoop::quit);
    while (st_.ReplyPending == 1)
        loop.exec();

    settleFirst_ = st_.ReplyData.size() != Frames::ReplyBytes;
    st_.ReplyStatus = settleFirst_ ? 255 : int(quint8(st_.ReplyData[2]));
}

namespace {
// Waits in an event loop, dropping every byte that arrives, until the line has been quiet for a
// while, a bound has passed, or the port fails.
class LineDrain : public QEventLoop {
    Q_OBJECT
public:
    LineDrain(SerialComm &comm, int quietMs, int boundMs) : comm_(comm) {
        for (QTimer *t : {&quiet_, &bound_}) {
            t->setSingleShot(true);
            t->setTimerType(Qt::PreciseTimer);
            connect(t, &QTimer::timeout, this, &QEventLoop::quit);
        }
        connect(&comm_, &SerialComm::Failed, this, &QEventLoop::quit);
        connect(&comm_, &SerialComm::OnComm, this, [this] {
            dropped_ += comm_.DiscardInput();
            quiet_.start();
        });
        quiet_.setInterval(quietMs);
        bound_.setInterval(boundMs);
    }
    int run() {
        // What has come in is counted and taken; what the system still holds arrives through
        // the loop, so no byte goes uncounted.
        dropped_ = comm_.InBufferCount();
        comm_.Input();
        quiet_.start();
        bound_.start();
        if (comm_.PortOpen()) exec();
        return dropped_;
    }

private:
    SerialComm &comm_;
    QTimer quiet_, bound_;
    int dropped_ = 0;
};
} // namespace

int Module1::DrainLine(int quietMs, int boundMs) {
    return LineDrain(c_.Comm1, quietMs, boundMs).run();
}

bool Module1::LineStaysQuiet() {
    const int timeout = ReplyReception::ReplyTimeoutMs;
    return c_.Comm1.PortOpen() && DrainLine(timeout, timeout) == 0 && c_.Comm1.PortOpen();
}

void Module1::SendCommand(int code) {
    int RetryCount = 0;
    int answer = 0;
    st_.ReplyData.clear();
    st_.ReplyStatus = 0;
    st_.CommandFailed = false;
    st_.LastOutcome = CommandOutcome::Accepted;

    while (st_.ReplyData.size() != Frames::ReplyBytes || st_.ReplyStatus != 0) {
        st_.CommandFailed = false;
        bool built = true;
        switch (code) {
        case Command::Start:
            c_.Timer3.start();
            BuildStartFrame(st_);
            c_.Timer1.setInterval(StartReplyTimeoutMs);
            break;
        case Command::Data:
            c_.Timer3.stop();
            built = BuildDataFrame(st_);
            break;
        case Command::End:
            BuildEndFrame(st_);
            break;
        default:
            built = BuildDataFrame(st_);
        }
        if (!built) {
            // Nothing that cannot be expressed on the wire is sent; the caller must stop.
            st_.CommandFailed = true;
            st_.LastOutcome = CommandOutcome::Refused;
            return;
        }
        ExchangeFrame();
        if (st_.ReplyStatus == 16) RetryCount = 1;
        ++RetryCount;
        if (RetryCount <= 1) continue;

        const int status = st_.ReplyStatus;
        if (status == 255) {
            c_.Timer3.stop();
            c_.pictures.showNoReply();
            answer = c_.boxes.MsgBox(QString::fromUtf8(Texts::NoReply), MsgStyle::CriticalRetry,
                                     QString::fromUtf8(Texts::ErrorTitle));
            c_.pictures.clearNoReply();
        } else if (status == 16) {
            answer = c_.boxes.MsgBox(QString::fromUtf8(Texts::FlashError), MsgStyle::Critical,
                                     QString::fromUtf8(Texts::ErrorTitle));
            st_.ReplyStatus = 0;
            st_.LastOutcome = CommandOutcome::FlashError;
        } else if (status != 0) {
            // Status 32, and any other refusal: asking beats resending forever.
            answer = c_.boxes.MsgBox(QString::fromUtf8(Texts::TransmissionError),
                                     MsgStyle::CriticalRetry, QString::fromUtf8(Texts::ErrorTitle));
        }
        RetryCount = 0;
        if (answer == MsgAnswer::Cancel) {
            st_.CommandFailed = true;
            st_.LastOutcome = CommandOutcome::GivenUp;
            return;
        }
    }
}

#include "Module1.moc"
