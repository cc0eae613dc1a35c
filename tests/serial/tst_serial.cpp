// One frame over the real serial port to the simulated instrument: reception, time-out, the
// monitor texts, a late reply, a port that dies. Plus the receive handler on its own.

#include "support/SimRig.h"

#include <QElapsedTimer>
#include <QTest>
#include <sys/resource.h>

using q7310sim::FrameKind;

namespace {

// A port with bytes put there by the test, for the receive handler alone.
class FakeComm : public SerialComm {
public:
    QByteArray waiting;
    bool open = true;
    bool setPortOpen(bool o) override {
        open = o;
        return true;
    }
    bool PortOpen() const override { return open; }
    QString deviceName() const override { return QStringLiteral("fake"); }
    void Output(const QByteArray &) override {}
    int InBufferCount() const override { return int(waiting.size()); }
    QByteArray Input() override { return std::exchange(waiting, QByteArray()); }
    void DiscardInput() override { waiting.clear(); }
};

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

class TestSerial : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void receiveHandler_data() {
        QTest::addColumn<QByteArray>("waiting");
        QTest::addColumn<bool>("taken");
        QTest::newRow("4 of 5 bytes: nothing changes") << QByteArray(4, 'x') << false;
        QTest::newRow("5 bytes") << QByteArray("\x10\xFA\x00\xFA\x16", 5) << true;
        QTest::newRow("6 bytes are all taken") << QByteArray("\x10\xFA\x00\xFA\x16\x00", 6) << true;
    }
    void receiveHandler() {
        QFETCH(QByteArray, waiting);
        QFETCH(bool, taken);
        TransferState st;
        FakeComm comm;
        QTimer timer1;
        TestMonitor monitor;
        monitor.on = true;
        ReplyReception rx(st, comm, timer1, monitor);
        st.ReplyLength = 5;
        st.ReplyPending = 1;
        timer1.setInterval(3000);
        timer1.start();
        comm.waiting = waiting;
        rx.Comm1_OnComm();
        QCOMPARE(st.ReplyPending, taken ? 0 : 1);
        QCOMPARE(timer1.isActive(), !taken);
        QCOMPARE(timer1.interval(), taken ? 300 : 3000);
        QCOMPARE(st.ReplyData, taken ? waiting : QByteArray());
        QCOMPARE(comm.waiting.isEmpty(), taken);
        QCOMPARE(monitor.reply, taken ? MonitorHex(waiting) : QStringLiteral("untouched"));
    }

    void timerTickOnlyEndsTheWait() {
        TransferState st;
        FakeComm comm;
        QTimer timer1;
        TestMonitor monitor;
        ReplyReception rx(st, comm, timer1, monitor);
        st.ReplyPending = 1;
        st.ReplyData = "ab";
        comm.waiting = "abc";
        timer1.start(300);
        rx.Timer1_Timer();
        QCOMPARE(st.ReplyPending, 0);
        QVERIFY(timer1.isActive());
        QCOMPARE(st.ReplyData, QByteArray("ab"));
        QCOMPARE(comm.waiting, QByteArray("abc"));
    }

    void acceptedReply() {
        SimRig rig;
        START_SIM_RIG(rig);
        BuildStartFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 0);
        QCOMPARE(rig.st.ReplyData.size(), 5);
        QCOMPARE(rig.st.ReplyPending, 0);
        const auto frames = rig.sim.frames();
        QCOMPARE(frames.size(), size_t(1));
        QCOMPARE(frames[0].kind, FrameKind::Start);
        QVERIFY(rig.sim.programmingMode());
    }

    void replyShapes_data() {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<int>("status");
        QTest::newRow("split in two pieces") << "1:split=100" << 0;
        QTest::newRow("6 bytes") << "1:long" << 255;
        QTest::newRow("3 bytes") << "1:short=3" << 255;
        QTest::newRow("garbage") << "1:garbage=9" << 255;
        QTest::newRow("status 16") << "1:status=16" << 16;
        QTest::newRow("status 32") << "1:status=32" << 32;
        QTest::newRow("status 1") << "1:status=1" << 1;
        QTest::newRow("status 255 in a 5-byte reply") << "1:status=255" << 255;
        QTest::newRow("delayed within the time") << "1:delay=150" << 0;
    }
    void replyShapes() {
        QFETCH(QString, rule);
        QFETCH(int, status);
        SimRig rig;
        START_SIM_RIG(rig, {rule});
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, status);
    }

    void silentInstrumentTimesOut_data() {
        QTest::addColumn<int>("interval");
        QTest::newRow("300 ms") << 300;
        QTest::newRow("3000 ms") << 3000;
    }
    void silentInstrumentTimesOut() {
        QFETCH(int, interval);
        SimRig rig;
        START_SIM_RIG(rig, {"any:noreply"});
        rig.Timer1.setInterval(interval);
        BuildStartFrame(rig.st);
        QElapsedTimer clock;
        clock.start();
        const double cpuBefore = cpuSeconds();
        rig.module.ExchangeFrame();
        const qint64 waited = clock.elapsed();
        QCOMPARE(rig.st.ReplyStatus, 255);
        QVERIFY2(waited >= interval - 5 && waited < interval + 1000,
                 qPrintable(QString::number(waited)));
        // The wait sleeps in the event loop; spinning would burn the whole interval.
        const double cpu = cpuSeconds() - cpuBefore;
        QVERIFY2(cpu < 0.1 * interval / 1000.0 + 0.02, qPrintable(QString::number(cpu)));
    }

    void everyAttemptGetsItsFullTime() {
        SimRig rig;
        START_SIM_RIG(rig, {"any:noreply"});
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame(); // times out; the timer keeps running
        QTest::qWait(200);          // most of its next interval passes
        QElapsedTimer clock;
        clock.start();
        rig.module.ExchangeFrame();
        QVERIFY2(clock.elapsed() >= 295, qPrintable(QString::number(clock.elapsed())));
    }

    void lateReplyDoesNotAnswerTheNextFrame() {
        SimRig rig;
        // Two bytes of the first reply come at once, the rest long after the time-out.
        START_SIM_RIG(rig, {"1:split=500"});
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 255);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 0);
        QCOMPARE(rig.st.ReplyData, QByteArray("\x10\xFA\x00\xFA\x16", 5));
        QTest::qWait(400);          // the rest of the first reply arrives, with no one waiting
        rig.prepareData(0, "\x01"); // no start frame yet: the instrument refuses it with 16
        BuildDataFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 16);
        QCOMPARE(rig.framesSeen(), 3);
    }

    void monitorTexts_data() {
        QTest::addColumn<bool>("on");
        QTest::newRow("monitor on") << true;
        QTest::newRow("monitor off") << false;
    }
    void monitorTexts() {
        QFETCH(bool, on);
        SimRig rig;
        rig.monitor.on = on;
        START_SIM_RIG(rig, {"any:status=10"});
        BuildStartFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.monitor.sent,
                 on ? QStringLiteral("AA 55 80 AA 55 30 FF ") : QStringLiteral("untouched"));
        QCOMPARE(rig.monitor.reply,
                 on ? QStringLiteral("10 FA A 4 16 ") : QStringLiteral("untouched"));
    }

    void hangUpEndsTheWaitAtOnce() {
        SimRig rig;
        START_SIM_RIG(rig);
        rig.sim.setHangUpAfter(1);
        rig.Timer1.setInterval(3000);
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 0);
        QElapsedTimer clock;
        clock.start();
        rig.module.ExchangeFrame(); // the instrument hangs up instead of answering
        QCOMPARE(rig.st.ReplyStatus, 255);
        QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
        QTRY_VERIFY(!rig.comm.PortOpen());
        clock.restart();
        rig.module.ExchangeFrame(); // the port is closed now: no wait at all
        QCOMPARE(rig.st.ReplyStatus, 255);
        QVERIFY(clock.elapsed() < 100);
    }

    void openFailures_data() {
        QTest::addColumn<QString>("link");
        QTest::newRow("no such device") << "/dev/q7310-missing";
        QTest::newRow("not a serial device") << "/dev/null";
    }
    void openFailures() {
        QFETCH(QString, link);
        QTemporaryDir dir;
        QVERIFY(QFile::link(link, dir.filePath(QStringLiteral("com2"))));
        QtSerialComm comm(dir.path());
        comm.CommPort = 2;
        comm.Settings = QStringLiteral("38400,e,8,1");
        QVERIFY(!comm.setPortOpen(true));
        QVERIFY(!comm.openError().isEmpty());
        QVERIFY(!comm.PortOpen());
        QCOMPARE(comm.deviceName(), dir.filePath(QStringLiteral("com2")));
    }
};

QTEST_MAIN(TestSerial)
#include "tst_serial.moc"
