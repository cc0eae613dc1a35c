// The simulated instrument on its own, spoken to through a plain file descriptor: its frame
// checks, its memory, its rules and its hex dump.

#include "protocol/Frames.h"
#include "simulator/Simulator.h"
#include "transfer/HexImage.h"

#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace q7310sim;

namespace {

struct Line {
    int fd = -1;
    ~Line() {
        if (fd >= 0) ::close(fd);
    }
    bool open(const std::string &path) {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd < 0) return false;
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        return true;
    }
    // Sends bytes and collects what comes back until nothing more arrives for quietMs.
    QByteArray exchange(const QByteArray &bytes, int quietMs = 150) {
        if (!bytes.isEmpty() && ::write(fd, bytes.constData(), size_t(bytes.size())) < 0) return {};
        QByteArray got;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, quietMs) <= 0) return got;
            char buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) return got;
            got.append(buf, int(n));
        }
    }
};

QByteArray startFrame() {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    BuildStartFrame(st);
    return AssembleFrame(st);
}

QByteArray endFrame() {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    BuildEndFrame(st);
    return AssembleFrame(st);
}

QByteArray dataFrame(qint64 address, const QByteArray &data) {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    st.BlockAddress = address;
    st.BlockData = data;
    for (char c : data)
        st.BlockSum += quint8(c);
    BuildDataFrame(st);
    return AssembleFrame(st);
}

QByteArray reply(int status) {
    return QByteArray("\x10\xFA", 2) + char(status) + char((0xFA + status) & 0xFF) + '\x16';
}

QByteArray corrupt(QByteArray frame, int offset, char value) {
    frame[offset] = value;
    return frame;
}

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT

    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<Line> line_;

    bool restart(Options opt = {}) {
        line_.reset();
        sim_ = std::make_unique<Simulator>(std::move(opt));
        std::string error;
        if (!sim_->start(error)) return false;
        line_ = std::make_unique<Line>();
        return line_->open(sim_->devicePath());
    }

private Q_SLOTS:
    void init() {
        if (!restart()) QSKIP("no pseudo-terminal here");
    }

    void frameChecks_data() {
        QTest::addColumn<QList<QByteArray>>("before");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("status");
        const QByteArray start = startFrame();
        QTest::newRow("start frame") << QList<QByteArray>{} << start << 0;
        QTest::newRow("end frame") << QList<QByteArray>{} << endFrame() << 0;
        QTest::newRow("bad checksum") << QList<QByteArray>{} << corrupt(start, 14, '\xE4') << 32;
        QTest::newRow("bad stop byte") << QList<QByteArray>{} << corrupt(start, 15, '\x17') << 32;
        QTest::newRow("length not repeated")
            << QList<QByteArray>{} << corrupt(start, 2, '\x0B') << 32;
        QTest::newRow("second start byte")
            << QList<QByteArray>{} << corrupt(start, 3, '\x69') << 32;
        QTest::newRow("truncated frame") << QList<QByteArray>{} << start.left(9) << 32;
        QTest::newRow("data before start") << QList<QByteArray>{} << dataFrame(0, "\x01") << 16;
        QTest::newRow("data after start")
            << QList<QByteArray>{start} << dataFrame(0x123456, "\x01\x02") << 0;
        QTest::newRow("same value again")
            << QList<QByteArray>{start, dataFrame(0x10, "\x5A")} << dataFrame(0x10, "\x5A") << 0;
        QTest::newRow("a 0 bit back to 1")
            << QList<QByteArray>{start, dataFrame(0x10, "\x5A")} << dataFrame(0x10, "\x5B") << 16;
        QTest::newRow("only clearing bits")
            << QList<QByteArray>{start, dataFrame(0x10, "\x5A")} << dataFrame(0x10, "\x48") << 0;
        QTest::newRow("erased by a new start")
            << QList<QByteArray>{start, dataFrame(0x10, "\x5A"), start} << dataFrame(0x10, "\x5B")
            << 0;
        QByteArray wrongCount = dataFrame(0, "\x01\x02");
        wrongCount[10] = 3; // count byte says 3, two follow
        wrongCount[13] = char(quint8(wrongCount[13]) + 1);
        QTest::newRow("count does not match") << QList<QByteArray>{start} << wrongCount << 32;
    }
    void frameChecks() {
        QFETCH(QList<QByteArray>, before);
        QFETCH(QByteArray, frame);
        QFETCH(int, status);
        for (const QByteArray &b : before)
            QCOMPARE(line_->exchange(b), reply(0));
        QCOMPARE(line_->exchange(frame).toHex(' '), reply(status).toHex(' '));
    }

    void noiseBetweenFramesIsIgnored() {
        QCOMPARE(line_->exchange(QByteArray("\x00\xFF\x16", 3) + startFrame()), reply(0));
    }

    void memoryAndDump() {
        QTemporaryDir dir;
        Options opt;
        opt.dumpFile = dir.filePath(QStringLiteral("dump.hex")).toStdString();
        QVERIFY(restart(opt));
        QCOMPARE(line_->exchange(startFrame()), reply(0));
        QCOMPARE(line_->exchange(dataFrame(0xFFF8, QByteArray(16, '\x42'))), reply(0));
        QCOMPARE(line_->exchange(dataFrame(0x200000, "\x01\x02\x03")), reply(0));
        QCOMPARE(line_->exchange(endFrame()), reply(0));
        const auto mem = sim_->memory();
        QCOMPARE(mem.size(), size_t(19));
        QCOMPARE(mem.at(0x10007), std::uint8_t(0x42));
        QCOMPARE(mem.at(0x200002), std::uint8_t(0x03));
        QCOMPARE(sim_->endFrames(), 1);
        QVERIFY(!sim_->programmingMode());

        QFile f(dir.filePath(QStringLiteral("dump.hex")));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = SplitLines(f.readAll());
        QCOMPARE(CheckImage(lines), QString()); // a valid image of just the written bytes
        TransferState st;
        HexDecoder decoder;
        std::map<std::uint32_t, std::uint8_t> decoded;
        for (const QByteArray &l : lines) {
            int n = 0;
            if (decoder.DecodeLine(l, st, n) == RecordKind::Data)
                for (int i = 0; i < n; ++i)
                    decoded[std::uint32_t(st.RecordAddress + i)] = quint8(st.RecordData[i]);
        }
        QVERIFY(decoded == mem);
    }

    // A frame answered with anything but 0 takes no effect in the instrument.
    void refusedFramesChangeNothing_data() {
        QTest::addColumn<QString>("rule");
        QTest::addColumn<bool>("programming"); // after start, data, end
        QTest::addColumn<size_t>("bytes");
        QTest::addColumn<int>("ends");
        QTest::newRow("all taken") << "9:normal" << false << size_t(2) << 1;
        QTest::newRow("start refused: no programming mode")
            << "1:status=32" << false << size_t(0) << 1;
        QTest::newRow("data refused") << "2:status=32" << false << size_t(0) << 1;
        QTest::newRow("data not programmed") << "2:status=16" << false << size_t(0) << 1;
        QTest::newRow("end not taken") << "3:status=16" << true << size_t(2) << 0;
        QTest::newRow("reply lost: taken all the same") << "2:noreply" << false << size_t(2) << 1;
    }
    void refusedFramesChangeNothing() {
        QFETCH(QString, rule);
        QFETCH(bool, programming);
        QFETCH(size_t, bytes);
        QFETCH(int, ends);
        Options opt;
        Rule r;
        std::string error;
        QVERIFY(ParseRule(rule.toStdString(), r, error));
        opt.rules.push_back(r);
        QVERIFY(restart(opt));
        for (const QByteArray &f : {startFrame(), dataFrame(0x40, "\x01\x02"), endFrame()})
            line_->exchange(f);
        QCOMPARE(sim_->programmingMode(), programming);
        QCOMPARE(sim_->memory().size(), bytes);
        QCOMPARE(sim_->endFrames(), ends);
    }

    void badRules_data() {
        QTest::addColumn<QString>("rule");
        QTest::newRow("no colon") << "noreply";
        QTest::newRow("frame 0") << "0:noreply";
        QTest::newRow("unknown action") << "1:explode";
        QTest::newRow("bad number") << "1:delay=soon";
        QTest::newRow("unknown kind") << "some:noreply";
    }
    void badRules() {
        QFETCH(QString, rule);
        Rule r;
        std::string error;
        QVERIFY(!ParseRule(rule.toStdString(), r, error));
        QVERIFY(!error.empty());
    }

    void hangUpClosesTheLine() {
        sim_->setHangUpAfter(1);
        QCOMPARE(line_->exchange(startFrame()), reply(0));
        line_->exchange(endFrame());
        QTRY_VERIFY(sim_->hungUp());
        pollfd p{line_->fd, POLLIN, 0};
        QVERIFY(::poll(&p, 1, 500) > 0);
        QVERIFY(p.revents & (POLLHUP | POLLERR | POLLIN));
        char c;
        QVERIFY(::read(line_->fd, &c, 1) <= 0); // end of line or an error: the peer is gone
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
