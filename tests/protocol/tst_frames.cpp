// Request frames byte for byte, and the hex text of the traffic monitor.

#include "protocol/Frames.h"

#include <QTest>

namespace {
QByteArray hex(const char *text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}
QByteArray bytes(int n, int value) {
    return QByteArray(n, char(value));
}
long sumOf(const QByteArray &b) {
    long s = 0;
    for (char c : b)
        s += quint8(c);
    return s;
}
TransferState freshState() {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    return st;
}
} // namespace

class TestFrames : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void controlFrames_data() {
        QTest::addColumn<bool>("start");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("start") << true << hex("68 0A 0A 68 FA 69 D3 AA 55 80 AA 55 30 FF E3 16");
        QTest::newRow("end") << false << hex("68 06 06 68 FA 69 D3 AA 55 99 CE 16");
    }
    void controlFrames() {
        QFETCH(bool, start);
        QFETCH(QByteArray, expected);
        TransferState st = freshState();
        start ? BuildStartFrame(st) : BuildEndFrame(st);
        QCOMPARE(AssembleFrame(st).toHex(' '), expected.toHex(' '));
        QCOMPARE(st.FrameLength, int(expected.size()) - 6);
    }

    void dataFrames_data() {
        QTest::addColumn<qint64>("address");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("0x12345, 01 02 03")
            << qint64(0x12345) << hex("01 02 03")
            << hex("68 0A 0A 68 FA 69 D2 45 23 01 03 01 02 03 A7 16");
        QTest::newRow("0x10000, four FF")
            << qint64(0x10000) << bytes(4, 0xFF)
            << hex("68 0B 0B 68 FA 69 D2 00 00 01 04 FF FF FF FF 36 16");
        QTest::newRow("empty at 0")
            << qint64(0) << QByteArray() << hex("68 07 07 68 FA 69 D2 00 00 00 00 35 16");
        // Largest block the length byte allows: L = 255.
        QByteArray big = bytes(248, 0x01);
        QByteArray expected = hex("68 FF FF 68 FA 69 D2 FF FF FF F8") + big;
        expected += char((250 + 105 + 210 + 0xFF * 3 + 248 + 248) % 256);
        expected += char(0x16);
        QTest::newRow("248 bytes at FFFFFF") << qint64(0xFFFFFF) << big << expected;
    }
    void dataFrames() {
        QFETCH(qint64, address);
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        TransferState st = freshState();
        st.BlockAddress = address;
        st.BlockData = data;
        st.BlockSum = sumOf(data);
        QVERIFY(BuildDataFrame(st));
        const QByteArray frame = AssembleFrame(st);
        QCOMPARE(frame.toHex(' '), expected.toHex(' '));
        // The checksum is the sum of the user data bytes.
        QCOMPARE(quint8(frame[frame.size() - 2]), quint8(sumOf(frame.mid(4, st.FrameLength))));
    }

    void wrongBlockSumGoesOutAsBuilt() {
        TransferState st = freshState();
        st.BlockAddress = 0x12345;
        st.BlockData = hex("01 02 03");
        st.BlockSum = 7; // one too many: the builder trusts it
        QVERIFY(BuildDataFrame(st));
        QCOMPARE(quint8(AssembleFrame(st).at(14)), quint8(0xA8));
    }

    void unrepresentableBlocksAreRefused_data() {
        QTest::addColumn<qint64>("address");
        QTest::addColumn<int>("length");
        QTest::newRow("249 bytes") << qint64(0) << 249;
        QTest::newRow("address 0x1000000") << qint64(0x1000000) << 1;
        QTest::newRow("negative address") << qint64(-1) << 1;
    }
    void unrepresentableBlocksAreRefused() {
        QFETCH(qint64, address);
        QFETCH(int, length);
        TransferState st = freshState();
        BuildEndFrame(st);
        const QByteArray before = AssembleFrame(st);
        st.BlockAddress = address;
        st.BlockData = bytes(length, 0x11);
        st.BlockSum = 0x11L * length;
        QVERIFY(!BuildDataFrame(st));
        QCOMPARE(AssembleFrame(st), before); // the prepared frame is left alone
    }

    void monitorHex_data() {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("breakEvery");
        QTest::addColumn<QString>("expected");
        QTest::newRow("start payload")
            << hex("AA 55 80 AA 55 30 FF") << 32 << QStringLiteral("AA 55 80 AA 55 30 FF ");
        QTest::newRow("no leading zero")
            << hex("00 05 0F 10 E5") << 0 << QStringLiteral("0 5 F 10 E5 ");
        QString two = QStringLiteral("1 ").repeated(32) + QStringLiteral("\r\n") +
                      QStringLiteral("1 ").repeated(8);
        QTest::newRow("40 values break after 32nd") << bytes(40, 1) << 32 << two;
        QString exact = QStringLiteral("2 ").repeated(32) + QStringLiteral("\r\n");
        QTest::newRow("exactly 32 values") << bytes(32, 2) << 32 << exact;
        QTest::newRow("reply has no break")
            << bytes(40, 1) << 0 << QStringLiteral("1 ").repeated(40);
    }
    void monitorHex() {
        QFETCH(QByteArray, payload);
        QFETCH(int, breakEvery);
        QFETCH(QString, expected);
        QCOMPARE(MonitorHex(payload, breakEvery), expected);
    }
};

QTEST_GUILESS_MAIN(TestFrames)
#include "tst_frames.moc"
