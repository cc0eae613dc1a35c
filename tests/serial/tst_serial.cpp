// One frame over the real serial port to the simulated instrument: reception, time-outs, the
// monitor texts, a line that keeps chattering, the line settings, a port that dies.

#include "support/Rigs.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <fcntl.h>
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
            {"1:garbage=9", 255, true}, {"1:status=16", 16, true}, {"1:status=255", 255, true},
            {"1:delay=150", 0, true}};
        for (const auto &[rule, status, monitor] : cases) {
            SimRig rig;
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

    // A silent instrument costs each attempt its full time-out from the send, and no CPU.
    void silentInstrumentTimesOut() {
        SimRig rig;
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
            QVERIFY2(waited >= interval - 5 && waited < interval + 500,
                     qPrintable(QString::number(waited)));
            const double cpu = cpuSeconds() - cpuBefore;
            QVERIFY2(cpu < 0.1 * interval / 1000.0 + 0.05, qPrintable(QString::number(cpu)));
        }
    }

    // A line that never falls quiet after a time-out is sent to regardless, after 3 s.
    void chatteringLineIsNotWaitedForForever() {
        SimRig rig;
        START_RIG(rig, {"1:chatter=5000"});
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame(); // a stray byte now and then, never a reply
        QCOMPARE(rig.st.ReplyStatus, 255);
        QElapsedTimer clock;
        clock.start();
        rig.module.ExchangeFrame(); // 3 s of settling, then the frame
        QVERIFY2(clock.elapsed() >= 3000 && clock.elapsed() < 4000,
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(rig.framesSeen(), 2);
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

    void hangUpEndsTheWaitAtOnce() {
        SimRig rig;
        START_RIG(rig, {"2:hangup"});
        rig.Timer1.setInterval(3000);
        BuildEndFrame(rig.st);
        rig.module.ExchangeFrame();
        QCOMPARE(rig.st.ReplyStatus, 0);
        for (int attempt = 0; attempt < 2; ++attempt) { // the hang-up, then a closed port
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
