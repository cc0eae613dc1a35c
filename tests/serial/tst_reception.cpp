// Reception and exchange on a port the test fakes: what the receive handler takes and when,
// and a port that dies while the frame goes out.

#include "support/Parts.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

// A port with bytes put there by the test; it can fail in the discard or in the write.
class FakeComm : public SerialComm {
public:
    QByteArray waiting;
    bool open = true;
    QString failIn;
    bool setPortOpen(bool o) override {
        open = o;
        return true;
    }
    bool PortOpen() const override { return open; }
    QString deviceName() const override { return QStringLiteral("fake"); }
    void Output(const QByteArray &) override { maybeFail(QStringLiteral("write")); }
    int InBufferCount() const override { return int(waiting.size()); }
    QByteArray Input() override { return std::exchange(waiting, QByteArray()); }
    int DiscardInput() override {
        maybeFail(QStringLiteral("discard"));
        return int(std::exchange(waiting, QByteArray()).size());
    }
    void maybeFail(const QString &where) {
        if (where != failIn || !open) return;
        open = false; // as the real port does: closed on the first fatal error
        emit Failed(QStringLiteral("unplugged"));
    }
};

} // namespace

class TestReception : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The receive handler takes a complete reply, and only while one is awaited; a tick of the
    // reply timer only ends the wait.
    void receiveHandler() {
        const QByteArray reply("\x10\xFA\x00\xFA\x16", 5);
        const QList<std::tuple<QByteArray, int, bool>> cases = {{reply.left(4), 1, false},
                                                                {reply, 1, true},
                                                                {reply + '\x00', 1, true},
                                                                {reply, 0, false}};
        for (const auto &[waiting, pending, taken] : cases) {
            TransferState st;
            FakeComm comm;
            QTimer timer1;
            TestMonitor monitor;
            monitor.on = true;
            ReplyReception rx(st, comm, timer1, monitor);
            st.ReplyLength = 5;
            st.ReplyPending = pending;
            timer1.start(3000);
            comm.waiting = waiting;
            rx.Comm1_OnComm();
            QCOMPARE(st.ReplyPending, taken ? 0 : pending);
            QCOMPARE(timer1.interval(), taken ? 300 : 3000);
            QCOMPARE(st.ReplyData, taken ? waiting : QByteArray());
            QCOMPARE(comm.waiting.isEmpty(), taken);
            QCOMPARE(monitor.reply, taken ? MonitorHex(waiting) : QStringLiteral("untouched"));
            rx.Timer1_Timer();
            QCOMPARE(st.ReplyPending, 0);
            QCOMPARE(timer1.isActive(), !taken);
            QCOMPARE(comm.waiting.isEmpty(), taken);
        }
    }

    // A port that dies while the frame goes out ends that attempt at once: in the discard
    // before the send, also after a time-out, or in the write.
    void portFailsWhileSending() {
        for (const auto &[failIn, settling] :
             {std::pair{"discard", false}, {"discard", true}, {"write", false}}) {
            FakeComm comm;
            Parts rig(comm);
            BuildEndFrame(rig.st);
            if (settling) rig.module.ExchangeFrame(); // no one answers: 255 after 300 ms
            comm.failIn = QString::fromLatin1(failIn);
            rig.Timer1.setInterval(3000);
            QElapsedTimer clock;
            clock.start();
            rig.module.ExchangeFrame();
            QCOMPARE(rig.st.ReplyStatus, 255);
            QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
            QVERIFY(!comm.PortOpen());
        }
    }
};

QTEST_MAIN(TestReception)
#include "tst_reception.moc"
