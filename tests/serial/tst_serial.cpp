// One frame over the real serial port to the simulated instrument: reception, time-out, the
// monitor texts, a late reply, a port that dies. Plus the receive handler on its own.

#include "support/SimRig.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <fcntl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

using q7310sim::FrameKind;

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

// A line the test speaks on itself: the other end of a pseudo-terminal linked as com1.
struct RawPeer {
    int master = -1;
    ~RawPeer() {
        if (master >= 0) ::close(master);
    }
    bool open(const QTemporaryDir &dir) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return false;
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
        return QFile::link(QString::fromLocal8Bit(ptsname(master)), dir.filePath("com1"));
    }
    QByteArray readAll() const {
        QByteArray got;
        char buf[512];
        for (ssize_t n; (n = ::read(master, buf, sizeof buf)) > 0;)
            got.append(buf, int(n));
        return got;
    }
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
        QTest::addColumn<int>("pending");
        QTest::addColumn<bool>("taken");
        const QByteArray reply("\x10\xFA\x00\xFA\x16", 5);
        QTest::newRow("4 of 5 bytes: nothing changes") << QByteArray(4, 'x') << 1 << false;
        QTest::newRow("5 bytes") << reply << 1 << true;
        QTest::newRow("6 bytes are all taken") << reply + '\x00' << 1 << true;
        QTest::newRow("no reply awaited: left for the exchange") << reply << 0 << false;
    }
    void receiveHandler() {
        QFETCH(QByteArray, waiting);
        QFETCH(int, pending);
        QFETCH(bool, taken);
        TransferState st;
        FakeComm comm;
        QTimer timer1;
        TestMonitor monitor;
        monitor.on = true;
        ReplyReception rx(st, comm, timer1, monitor);
        st.ReplyLength = 5;
        st.ReplyPending = pending;
        timer1.setInterval(3000);
        timer1.start();
        comm.waiting = waiting;
        rx.Comm1_OnComm();
        QCOMPARE(st.ReplyPending, taken ? 0 : pending);
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

    // What the run asks for is what the port is opened with, parity checked on input.
    void lineSettingsOnTheOpenedPort() {
        SimRig rig;
        START_SIM_RIG(rig);
        const QSerialPort *port = rig.comm.findChild<QSerialPort *>();
        QVERIFY(port && port->isOpen());
        QCOMPARE(port->baudRate(), 38400);
        QCOMPARE(port->parity(), QSerialPort::EvenParity);
        QCOMPARE(port->dataBits(), QSerialPort::Data8);
        QCOMPARE(port->stopBits(), QSerialPort::OneStop);
        QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);
        // A pseudo-terminal drops the parity bits of c_cflag but keeps c_iflag.
        const int fd = ::open(rig.sim.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        termios tio{};
        const int got = tcgetattr(fd, &tio);
        ::close(fd);
        QCOMPARE(got, 0);
        QCOMPARE(tio.c_iflag & (INPCK | IGNPAR | PARMRK), tcflag_t(INPCK | IGNPAR));
    }

    // A port that dies while the frame goes out ends that attempt at once.
    void portFailsWhileSending_data() {
        QTest::addColumn<QString>("failIn");
        QTest::addColumn<bool>("settling"); // the attempt before got no reply
        QTest::newRow("in the discard") << "discard" << false;
        QTest::newRow("in the discard after a time-out") << "discard" << true;
        QTest::newRow("in the write") << "write" << false;
    }
    void portFailsWhileSending() {
        QFETCH(QString, failIn);
        QFETCH(bool, settling);
        SimRig rig; // its parts only: the port is a fake one
        FakeComm comm;
        ReplyReception reception(rig.st, comm, rig.Timer1, rig.monitor);
        Module1 module(rig.st, Module1::Controls{comm, rig.Timer1, rig.Timer3, rig.monitor,
                                                 reception, rig.pictures, rig.boxes});
        BuildEndFrame(rig.st);
        if (settling) module.ExchangeFrame(); // no one answers: 255 after 300 ms
        comm.failIn = failIn;
        rig.Timer1.setInterval(3000);
        QElapsedTimer clock;
        clock.start();
        module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 255);
        QVERIFY2(clock.elapsed() < 200, qPrintable(QString::number(clock.elapsed())));
        QVERIFY(!comm.PortOpen());
    }

    // A line that never falls quiet after a time-out is sent to regardless, after 3 s.
    void chatteringLineIsNotWaitedForForever() {
        SimRig rig;
        RawPeer peer;
        if (!peer.open(rig.dir)) QSKIP("no pseudo-terminal here");
        QVERIFY2(rig.open(), qPrintable(rig.comm.openError()));
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 255);
        const QByteArray frame = AssembleFrame(rig.st);
        QCOMPARE(peer.readAll(), frame);
        QTimer chatter;
        connect(&chatter, &QTimer::timeout, this,
                [&] { [[maybe_unused]] auto n = ::write(peer.master, "\xA5", 1); });
        chatter.start(100);
        QElapsedTimer clock;
        clock.start();
        rig.module.ExchangeFrame(); // 3 s of settling, the frame, 300 ms of waiting
        const qint64 took = clock.elapsed();
        QVERIFY2(took >= 3000 && took < 4500, qPrintable(QString::number(took)));
        QCOMPARE(peer.readAll(), frame);
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
