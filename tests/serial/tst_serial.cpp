// One frame over the real serial port to the simulated instrument on a pseudo-terminal: what
// reaches the monitor, the line settings of the opened port, where the Com entries lead, a USB
// adapter's latency, a port that dies.

#include "config/PortNames.h"
#include "serial/PortInfo.h"
#include "serial/QtSerialComm.h"
#include "support/Rigs.h"

#include <QElapsedTimer>
#include <QSerialPort>
#include <QTest>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>


class TestSerial : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // One start frame, answered in many ways; the monitor shows what went and what came.
    void replies() {
        const QList<std::tuple<QString, int, bool, QString>> cases = {
            {"9:normal", 0, false, "untouched"},
            {"9:normal", 0, true, "10 FA 0 FA 16 "},
            {"1:split=100", 0, true, "10 FA 0 FA 16 "},
            {"1:garbage=3", 255, true, "untouched"},
            {"1:status=16", 16, true, "10 FA 10 A 16 "},
            {"1:status=255", 255, true, "10 FA FF F9 16 "},
            {"1:delay=150", 0, true, "10 FA 0 FA 16 "}};
        for (const auto &[rule, status, monitor, shown] : cases) {
            SimRig rig(Fast());
            rig.monitor.on = monitor;
            START_RIG(rig, {rule});
            BuildStartFrame(rig.st);
            rig.module.ExchangeFrame();
            QCOMPARE(rig.st.ReplyStatus, status);
            QCOMPARE(rig.sim.frames().at(0).kind, q7310sim::FrameKind::Start);
            QCOMPARE(rig.monitor.sent,
                     monitor ? "AA 55 80 AA 55 30 FF " : QStringLiteral("untouched"));
            QCOMPARE(rig.monitor.reply, shown);
        }
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
