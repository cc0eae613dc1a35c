// Reception and exchange on a port the test fakes: what the receive handler takes and when,
// and a port that dies while the frame goes out.

#include "support/Parts.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

// A port with bytes put there by the test; it can fail when read (or emptied) or written.
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
    QByteArray Input() override {
        maybeFail(QStringLiteral("read"));
        return std::exchange(waiting, QByteArray());
    }
    int DiscardInput() override { return int(Input().size()); }
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
            FakeComm comm;
            Parts p(comm);
            p.monitor.on = true;
            p.st.ReplyLength = 5;
            p.st.ReplyPending = pending;
            p.Timer1.start(3000);
            comm.waiting = waiting;
            p.reception.Comm1_OnComm();
            QCOMPARE(p.st.ReplyData, taken ? waiting : QByteArray());
            QCOMPARE(p.monitor.reply, taken ? MonitorHex(waiting) : QStringLiteral("untouched"));
            QCOMPARE(QStringLiteral("%1 %2 %3")
                         .arg(p.st.ReplyPending)
                         .arg(p.Timer1.interval())
                         .arg(comm.waiting.size()),
                     taken ? QStringLiteral("0 300 0")
                           : QStringLiteral("%1 3000 %2").arg(pending).arg(waiting.size()));
            p.reception.Timer1_Timer(); // a tick only ends the wait
            QCOMPARE(p.st.ReplyPending, 0);
            QCOMPARE(p.Timer1.isActive(), !taken);
        }
    }

    // A port that dies while the frame goes out ends that attempt at once: when what is waiting
    // is dropped before the send (also while the line settles after a time-out), or in the write.
    void portFailsWhileSending() {
        for (const auto &[failIn, settling] :
             {std::pair{"read", false}, {"read", true}, {"write", false}}) {
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
