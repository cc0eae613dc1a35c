// One frame over the real serial port to the simulated instrument: reception, time-outs, the
// monitor texts, a line that keeps chattering, the line settings, a port that dies.

#include "config/PortNames.h"
#include "serial/PortInfo.h"
#include "support/Rigs.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace {

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
    // One start frame, answered in many ways; the monitor shows what went and what came.
    void replies() {
        const QList<std::tuple<QString, int, bool>> cases = {
            {"9:normal", 0, false},     {"9:normal", 0, true},     {"1:split=100", 0, true},
            {"1:garbage=3", 255, true}, {"1:status=16", 16, true}, {"1:status=255", 255, true},
            {"1:delay=150", 0, true}};
        for (const auto &[rule, status, monitor] : cases) {
            SimRig rig(Fast());
            rig.monitor.on = monitor;
            START_RIG(rig, {rule});
            BuildStartFrame(rig.st);
            rig.module.ExchangeFrame();
            QCOMPARE(rig.st.ReplyStatus, status);
            QCOMPARE(rig.sim.frames().at(0).kind, q7310sim::FrameKind::Start);
            const bool complete = rig.st.ReplyData.size() >= 5;
            QCOMPARE(rig.monitor.sent,
                     monitor ? "AA 55 80 AA 55 30 FF " : QStringLiteral("untouched"));
            QCOMPARE(rig.monitor.reply,
                     monitor && complete ? MonitorHex(rig.st.ReplyData) : "untouched");
        }
    }

    // A silent instrument: each attempt waits for its reply until the time-out, and for a late
    // one until no reply can come any more, and it costs no CPU.
    void silentInstrumentTimesOut() {
        SimRig rig(Fast());
        START_RIG(rig, {"any:noreply"});
        BuildEndFrame(rig.st);
        for (int interval : {3000, 300}) {
            rig.Timer1.setInterval(interval);
            QTest::qWait(200); // most of a still running interval passes
            const double cpuBefore = cpuSeconds();
            rig.module.ExchangeFrame();
            const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                                    std::chrono::steady_clock::now() - rig.sim.frames().back().at)
                                    .count();
            QCOMPARE(rig.st.ReplyStatus, 255);
            const int settled = std::max(interval + 300, ReplyJudge::ReplyHorizonMs);
            QVERIFY2(waited >= settled - 5 && waited < settled + 500,
                     qPrintable(QString::number(waited)));
            const double cpu = cpuSeconds() - cpuBefore;
            QVERIFY2(cpu < 0.1 * settled / 1000.0 + 0.05, qPrintable(QString::number(cpu)));
        }
    }

    // A byte that is not the reply to the frame in flight casts doubt: one that comes before the
    // frame can have crossed the line, one right behind a reply, one while the line settles after
    // an attempt, and noise that makes a refusal look like another status. At the real line
    // speed: 1 a start frame, 2 a block of 208 bytes (63 ms on the line); "after": doubt and status
    // after each, or the ways it may go; "sent": frames sent, if it matters.
    void unexplainedBytesCastDoubt_data() {
        QTest::addColumn<QStringList>("rules");
        QTest::addColumn<QString>("after");
        QTest::addColumn<int>("sent");
        QTest::newRow("clean") << QStringList{} << "0 0, 0 0" << 2;
        QTest::newRow("noise while the block crosses")
            << QStringList{"1:burst=40"} << "0 0, 1 255" << 2;
        // Read with the reply, or right after it and then waiting when the next frame is due.
        QTest::newRow("a byte behind the reply")
            << QStringList{"1:long"} << "1 255, 0 0|0 0, 1 255" << 0;
        QTest::newRow("late into the settle") << QStringList{"1:delay=600"} << "1 255, 0 0" << 2;
        QTest::newRow("noise before a refusal")
            << QStringList{"2:prefix=2", "2:status=32"} << "0 0, 1 255" << 2;
    }
    void unexplainedBytesCastDoubt() {
        QFETCH(QStringList, rules);
        QFETCH(QString, after);
        QFETCH(int, sent);
        SimRig rig;
        START_RIG(rig, rules);
        QStringList seen;
        for (int frame = 1; frame <= 2; ++frame) {
            if (frame == 1) {
                BuildStartFrame(rig.st);
            } else {
                rig.st.BlockData = QByteArray(208, '\0');
                rig.st.BlockSum = 0;
                BuildDataFrame(rig.st);
            }
            rig.module.ExchangeFrame();
            seen << QStringLiteral("%1 %2")
                        .arg(rig.judge.verdict() == ReplyVerdict::Doubtful)
                        .arg(rig.st.ReplyStatus);
            QTest::qWait(20); // what comes right behind a reply is in before the next frame
        }
        QVERIFY2(after.split('|').contains(seen.join(", ")), qPrintable(seen.join(", ")));
        if (sent) QCOMPARE(rig.framesSeen(), sent);
    }

    // A chattering line: every settle ends within its bound, and the frame waits for a quiet line.
    void chatteringLineIsNotWaitedForForever() {
        SimRig rig(Fast());
        START_RIG(rig, {"1:chatter=5000"});
        BuildEndFrame(rig.st);
        QElapsedTimer clock;
        clock.start();
        QList<qint64> took;
        for (int attempt = 0; attempt < 3; ++attempt) {
            rig.module.ExchangeFrame();
            took << clock.restart();
            QCOMPARE(rig.judge.verdict() == ReplyVerdict::Doubtful, attempt < 2);
        }
        // No reply, then 3 s of chatter; 2 s more of it, kept back; then quiet, sent, taken.
        QVERIFY2(took[0] >= 3300 && took[0] < 4000 && took[1] >= 1500 && took[1] < 2500 &&
                     took[2] < 500,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(took[0]).arg(took[1]).arg(took[2])));
        QCOMPARE(rig.framesSeen(), 2);
        QCOMPARE(rig.st.ReplyStatus, 0);
    }

    // What the run asks for is what the port is opened with, parity checked on input.
    void lineSettingsOnTheOpenedPort() {
        SimRig rig;
        START_RIG(rig);
        const QSerialPort *port = rig.comm.findChild<QSerialPort *>();
        QVERIFY(port && port->isOpen());
        QCOMPARE(port->baudRate(), 38400);
        QCOMPARE(port->parity(), QSerialPort::EvenParity);
        QCOMPARE(port->dataBits(), QSerialPort::Data8);
        QCOMPARE(port->stopBits(), QSerialPort::OneStop);
        QCOMPARE(port->flowControl(), QSerialPort::NoFlowControl);
        // A pseudo-terminal drops the parity bits of c_cflag but keeps c_iflag.
        const int fd = ::open(rig.sim.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        QCOMPARE(tcgetattr(fd, &tio), 0);
        ::close(fd);
        QCOMPARE(tio.c_iflag & (INPCK | IGNPAR | PARMRK), tcflag_t(INPCK | IGNPAR));
    }

    // What a Com entry leads to: a link to something that is no serial port, a link to nothing,
    // a link to a USB adapter the system lists with its latency timer, a port listed under its
    // name alone, an entry that names a serial device server.
    void comPortLookUp() {
        QTemporaryDir dir;
        auto at = [&](const char *name) { return dir.filePath(QString::fromLatin1(name)); };
        QFile(at("plain")).open(QIODevice::WriteOnly);
        QFile(at("ttyUSB9")).open(QIODevice::WriteOnly);
        QFile::link(at("plain"), at("com1"));
        QFile::link(at("gone"), at("com2"));
        QFile::link(at("ttyUSB9"), at("com3"));
        QFile server(at("com5"));
        QVERIFY(server.open(QIODevice::WriteOnly) && server.write("rfc2217://10.0.0.5:2000\n"));
        server.close();
        const QList<PortFacts> ports = {
            {at("ttyUSB9"), "ttyUSB9", "USB-Serial Controller", "FTDI", "", 0x403, 0x6001, 16},
            {ComPortDevice(4, {dir.path()}), "", "", "", "A1", -1, -1}};
        const QList<std::tuple<int, QString, bool, QString>> cases = {
            {1, at("plain"), false, ""},
            {2, at("gone"), false, ""},
            {3, at("ttyUSB9"), true,
             "FTDI, USB-Serial Controller, USB 0403:6001, Latenz-Timer 16 ms"},
            {4, "", true, "Nr. A1"},
            {5, "rfc2217://10.0.0.5:2000", false, "RFC 2217"}};
        QStringList summaries;
        for (const auto &[n, target, listed, facts] : cases) {
            const ComPortView v = LookUpComPort(n, {dir.path()}, ports);
            QCOMPARE(v.target, target);
            QCOMPARE(v.exists, n != 2);
            QCOMPARE(v.facts.has_value(), listed);
            const QString summary = ComPortSummary(v);
            QVERIFY2(summary.startsWith(v.device) && summary.endsWith(facts), qPrintable(summary));
            summaries << summary.mid(v.device.size() + target.size());
        }
        summaries.removeDuplicates();
        QCOMPARE(summaries.size(), cases.size()); // each case said in its own words
    }

    // A USB adapter at the speed of the line: the port asks the driver for low latency while it
    // is open, and puts the flags back on close. Tried on a real UART (this machine has ttyS0);
    // a pseudo-terminal refuses it, which changes nothing.
    void lowLatencyWhileOpen() {
        const int probe = ::open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
        serial_struct s{};
        if (probe < 0 || ::ioctl(probe, TIOCGSERIAL, &s) != 0) {
            if (probe >= 0) ::close(probe);
            QSKIP("no UART at /dev/ttyS0 that shows its flags");
        }
        const int before = s.flags & ASYNC_LOW_LATENCY;
        QtSerialComm port{QStringList{}};
        port.DevicePath = QStringLiteral("/dev/ttyS0");
        port.Settings = QStringLiteral("38400,e,8,1");
        QVERIFY2(port.setPortOpen(true), qPrintable(port.openError()));
        QVERIFY(::ioctl(probe, TIOCGSERIAL, &s) == 0 && (s.flags & ASYNC_LOW_LATENCY));
        port.setPortOpen(false);
        QVERIFY(::ioctl(probe, TIOCGSERIAL, &s) == 0);
        QCOMPARE(s.flags & ASYNC_LOW_LATENCY, before);
        ::close(probe);
    }

    void hangUpEndsTheWaitAtOnce() {
        SimRig rig(Fast());
        START_RIG(rig, {"2:hangup"});
        rig.Timer1.setInterval(3000);
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 0);
        for (int attempt = 0; attempt < 2; ++attempt) { // the hang-up, then a closed port
            rig.Timer1.setInterval(3000); // a reply resets it to 300 ms, which would hide a wait
            QElapsedTimer clock;
            clock.start();
            rig.module.ExchangeFrame();
            QCOMPARE(rig.st.ReplyStatus, 255);
            QVERIFY2(clock.elapsed() < 1500, qPrintable(QString::number(clock.elapsed())));
            QTRY_VERIFY(!rig.comm.PortOpen());
        }
    }
};

QTEST_MAIN(TestSerial)
#include "tst_serial.moc"
