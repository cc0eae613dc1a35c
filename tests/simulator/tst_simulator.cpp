// The simulated instrument as a peer, spoken to through a plain file descriptor: what it
// answers, what an accepted or refused frame does to it, its rules and its hex dump.

#include "protocol/Frames.h"
#include "simulator/Simulator.h"
#include "support/HexBuilder.h"
#include "transfer/HexImage.h"

#include <QTemporaryDir>
#include <QTest>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace q7310sim;

namespace {

// 1 start, 3 end, else a data frame with the bytes at the address.
QByteArray frame(int kind, qint64 address = 0, const QByteArray &data = {}) {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    st.BlockAddress = address;
    st.BlockData = data;
    for (char c : data)
        st.BlockSum += quint8(c);
    kind == 1 ? BuildStartFrame(st) : kind == 3 ? BuildEndFrame(st) : void(BuildDataFrame(st));
    return AssembleFrame(st);
}

struct Case {
    QStringList rules;
    QList<QByteArray> frames;
    QList<int> statuses; // of the replies, in order; -1: no reply
    bool programming;    // afterwards
    hexfile::Memory memory;
    int ends;
};

} // namespace

class TestSimulator : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void peer_data() {
        QTest::addColumn<Case>("c");
        const QByteArray S = frame(1), E = frame(3), d = frame(2, 0x40, "\x5A");
        QByteArray badSum = d, badCount = frame(2, 0, "\x01\x02");
        badSum[badSum.size() - 2] = char(badSum[badSum.size() - 2] + 1);
        badCount[10] = 3; // three bytes announced, two follow, the sum fixed up
        badCount[13] = char(badCount[13] + 1);
        const hexfile::Memory written{{0x40, 0x5A}};
        QTest::newRow("all taken, noise between frames")
            << Case{{}, {S, "\x00\xFF\x16", d, E}, {0, 0, 0}, false, written, 1};
        QTest::newRow("checksum, stop byte, length, truncated: 32")
            << Case{{}, {S, badSum, E.left(11) + '\x17', S.left(9)}, {0, 32, 32, 32}, true, {}, 0};
        QTest::newRow("count does not match: 32") << Case{{}, {S, badCount}, {0, 32}, true, {}, 0};
        QTest::newRow("data before start: 16") << Case{{}, {d, S}, {16, 0}, true, {}, 0};
        QTest::newRow("same value again, only clearing bits")
            << Case{{}, {S, d, d, frame(2, 0x40, "\x48")}, {0, 0, 0, 0}, true, {{0x40, 0x48}}, 0};
        QTest::newRow("a 0 bit back to 1: 16, until a new start erases")
            << Case{{},
                    {S, d, frame(2, 0x40, "\x5B"), S, frame(2, 0x40, "\x5B")},
                    {0, 0, 16, 0, 0},
                    true,
                    {{0x40, 0x5B}},
                    0};
        // Only a frame answered with 0 takes effect; one whose reply is lost still does.
        QTest::newRow("start refused") << Case{{"1:status=32"}, {S, d}, {32, 16}, false, {}, 0};
        QTest::newRow("data not programmed")
            << Case{{"2:status=16"}, {S, d, E}, {0, 16, 0}, false, {}, 1};
        QTest::newRow("end not taken")
            << Case{{"3:status=16"}, {S, d, E}, {0, 0, 16}, true, written, 0};
        QTest::newRow("reply lost")
            << Case{{"data:noreply"}, {S, d, E}, {0, -1, 0}, false, written, 1};
        QTest::newRow("hung up instead") << Case{{"2:hangup"}, {S, d, E}, {0, -1, -1}, true, {}, 0};
    }
    void peer() {
        QFETCH(Case, c);
        QTemporaryDir dir;
        Options opt;
        opt.dumpFile = dir.filePath(QStringLiteral("dump.hex")).toStdString();
        for (const QString &text : c.rules) {
            Rule r;
            std::string error;
            QVERIFY(ParseRule(text.toStdString(), r, error));
            opt.rules.push_back(r);
        }
        Simulator sim(opt);
        std::string error;
        if (!sim.start(error)) QSKIP("no pseudo-terminal here");
        const int fd = ::open(sim.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios tio{};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
        QList<int> statuses;
        for (const QByteArray &f : c.frames) {
            [[maybe_unused]] auto n = ::write(fd, f.constData(), size_t(f.size()));
            QByteArray got;
            char buf[64];
            for (pollfd p{fd, POLLIN, 0}; ::poll(&p, 1, 150) > 0 && (p.revents & POLLIN);) {
                const ssize_t k = ::read(fd, buf, sizeof buf);
                if (k <= 0) break;
                got.append(buf, int(k));
            }
            if (f.size() < 6 || f[0] != '\x68') continue; // noise gets no answer
            const bool reply = got.size() == 5 && got[0] == '\x10' && got[4] == '\x16';
            statuses << (reply ? int(quint8(got[2])) : got.isEmpty() ? -1 : -2);
        }
        ::close(fd);
        QCOMPARE(statuses, c.statuses);
        QCOMPARE(sim.programmingMode(), c.programming);
        QVERIFY(sim.memory() == c.memory);
        QCOMPARE(sim.endFrames(), c.ends);
        QFile dump(dir.filePath(QStringLiteral("dump.hex"))); // written when an end is taken
        if (c.ends)
            QVERIFY(dump.open(QIODevice::ReadOnly) &&
                    hexfile::ImageBytes(SplitLines(dump.readAll())) == c.memory);
    }

    void badRules() {
        for (const char *text :
             {"noreply", "0:noreply", "1:explode", "1:delay=soon", "some:noreply"}) {
            Rule r;
            std::string error;
            QVERIFY2(!ParseRule(text, r, error) && !error.empty(), text);
        }
    }
};

QTEST_GUILESS_MAIN(TestSimulator)
#include "tst_simulator.moc"
