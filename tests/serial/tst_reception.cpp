// Reception and exchange on a port the test fakes: what the receive handler takes and when,
// and a port that dies while the frame goes out.

#include "simulator/VirtualLine.h"
#include "support/Parts.h"

#include <QTest>

namespace {

// A port with bytes put there by the test; it can fail when read (or emptied) or written.
class FakeComm : public SerialComm {
public:
    QByteArray waiting;
    bool open = true;
    QString failIn;
    int written = 0;
    bool setPortOpen(bool o) override {
        open = o;
        return true;
    }
    bool PortOpen() const override { return open; }
    QString deviceName() const override { return QStringLiteral("fake"); }
    void Output(const QByteArray &) override {
        ++written;
        maybeFail(QStringLiteral("write"));
    }
    int InBufferCount() const override { return int(waiting.size()); }
    QByteArray Input() override {
        maybeFail(QStringLiteral("read"));
        return std::exchange(waiting, QByteArray());
    }
    QByteArray DiscardInput() override { return Input(); }
    void maybeFail(const QString &where) {
        if (where != failIn || !open) return;
        open = false; // as the real port does: closed on the first fatal error
        failure_ = QStringLiteral("unplugged");
        emit Failed(failure_);
    }
};

} // namespace

class TestReception : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The receive handler takes a complete reply, only while one is awaited and only once the
    // frame can have crossed the line; what comes sooner is dropped as no reply and casts doubt.
    // A tick of the reply timer only ends the wait.
    void receiveHandler() {
        const QByteArray reply("\x10\xFA\x00\xFA\x16", 5);
        const QString shown = QStringLiteral("10 FA 0 FA 16 ");
        enum Result { Kept, Taken, Doubted };
        struct Case {
            QByteArray waiting;
            int pending;
            bool early;
            Result result;
            QString monitor;
        };
        const QList<Case> cases = {{reply.left(4), 1, false, Kept, "untouched"},
                                   {reply, 1, false, Taken, shown},
                                   {reply + '\x00', 1, false, Taken, shown + "0 "},
                                   {reply, 0, false, Kept, "untouched"},
                                   {reply, 1, true, Doubted, "untouched"},
                                   {reply.left(1), 1, true, Doubted, "untouched"},
                                   {reply, 0, true, Kept, "untouched"}};
        for (const Case &c : cases) {
            FakeComm comm;
            VirtualTime time;
            Parts p(comm, time);
            p.monitor.on = true;
            p.st.ReplyLength = 5;
            p.st.ReplyPending = c.pending;
            p.judge.beginAttempt();
            p.judge.frameSent(time.now(),
                              c.early ? std::chrono::seconds(10) : std::chrono::seconds(0), {},
                              ReplyJudge::Frame::Block);
            p.Timer1.start(3000);
            comm.waiting = c.waiting;
            p.reception.Comm1_OnComm();
            QCOMPARE(p.st.ReplyData, c.result == Taken ? c.waiting : QByteArray());
            QCOMPARE(p.judge.outcome() == Outcome::Doubt, c.result == Doubted);
            QCOMPARE(p.monitor.reply, c.monitor);
            QCOMPARE(p.st.ReplyPending, c.result == Kept ? c.pending : 0);
            // A complete reply stops the timer and gives the next attempt the short time-out.
            QCOMPARE(p.Timer1.interval(),
                     c.result == Taken ? ReplyReception::ReplyTimeoutMs : 3000);
            QCOMPARE(comm.waiting.size(), c.result == Kept ? c.waiting.size() : 0);
            p.reception.Timer1_Timer(); // a tick only ends the wait
            QCOMPARE(p.st.ReplyPending, 0);
            QCOMPARE(p.Timer1.isActive(), c.result != Taken);
        }
    }

    // A frame kept back because bytes were waiting is neither written nor shown as sent.
    void frameKeptBackIsNotShown() {
        FakeComm comm;
        Parts rig(comm);
        rig.monitor.on = true;
        BuildEndFrame(rig.st);
        comm.waiting = "\xA5";
        rig.module.ExchangeFrame();
        QCOMPARE(rig.judge.outcome(), Outcome::Doubt);
        QCOMPARE(comm.written, 0);
        QCOMPARE(rig.monitor.sent, QStringLiteral("untouched"));
    }

    // A port that dies while the frame goes out ends the command at once: when what is waiting
    // is dropped before the send, or in the write. No instrument can answer through it, so no
    // box asks whether one should.
    void portFailsWhileSending() {
        for (const char *failIn : {"read", "write"}) {
            FakeComm comm;
            VirtualTime time;
            Parts rig(comm, time);
            comm.failIn = QString::fromLatin1(failIn);
            rig.Timer1.setInterval(3000);
            rig.module.SendCommand(Command::End);
            QVERIFY(rig.st.LastOutcome == Outcome::PortLost && rig.st.CommandFailed);
            QVERIFY(rig.boxes.shown.isEmpty());
            QCOMPARE(time.elapsed(), std::chrono::nanoseconds(0));
            QVERIFY(!comm.PortOpen());
        }
    }
};

QTEST_GUILESS_MAIN(TestReception)
#include "tst_reception.moc"
