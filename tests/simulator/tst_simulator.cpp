// The simulated instrument as a peer: what it answers, what an accepted or refused frame does to
// it, its rules and its hex dump.

#include "support/Rigs.h"
#include "transfer/HexImage.h"

#include <QTest>

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
    QList<int> statuses; // of the replies, in order; -1: none
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
            << Case{{}, {S, "\x00\xFF\x16", d, E}, {0, -1, 0, 0}, false, written, 1};
        QTest::newRow("checksum, stop byte, count, truncated: 32")
            << Case{{},
                    {S, badSum, E.left(11) + '\x17', badCount, S.left(9)},
                    {0, 32, 32, 32, 32},
                    true,
                    {},
                    0};
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
        QTemporaryDir dumpDir;
        const QString dump = dumpDir.filePath(QStringLiteral("dump.hex"));
        SimRig rig(q7310sim::Options{.dumpFile = dump.toStdString()});
        START_RIG(rig, c.rules);
        QList<int> statuses;
        for (const QByteArray &f : c.frames) {
            rig.comm.Output(f); // as it is, well formed or not
            (void)QTest::qWaitFor(
                [&] { return rig.comm.InBufferCount() >= 5 || !rig.comm.PortOpen(); }, 300);
            const QByteArray got = rig.comm.Input();
            statuses << (got.size() == 5 && got[0] == '\x10' && got[4] == '\x16' ? quint8(got[2])
                         : got.isEmpty()                                         ? -1
                                                                                 : -2);
        }
        QCOMPARE(statuses, c.statuses);
        QCOMPARE(rig.sim.programmingMode(), c.programming);
        QVERIFY(rig.sim.memory() == c.memory);
        QCOMPARE(rig.sim.endFrames(), c.ends);
        QFile f(dump); // written when an end is taken
        if (c.ends)
            QVERIFY(f.open(QIODevice::ReadOnly) &&
                    hexfile::ImageBytes(SplitLines(f.readAll())) == c.memory);
    }
};

QTEST_MAIN(TestSimulator)
#include "tst_simulator.moc"
