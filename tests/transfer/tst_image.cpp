// The pure image path: reading, checking and decoding an image, cutting it into blocks, and the
// request frames with the hex text of the traffic monitor.

#include "protocol/Frames.h"
#include "serial/SerialComm.h"
#include "support/HexBuilder.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"
#include "transfer/ProgrammingRun.h"

#include <QTest>

using namespace hexfile;
using Lines = QList<QByteArray>;
using Spans = QList<QPair<qint64, int>>; // address and length of each block sent

namespace {

QByteArray hex(const char *text) {
    return QByteArray::fromHex(QByteArray(text).replace(' ', ""));
}
long sumOf(const QByteArray &b) {
    long s = 0;
    for (char c : b)
        s += quint8(c);
    return s;
}

// Decodes and assembles lines as the run does.
Spans assemble(const Lines &lines) {
    TransferState st;
    Spans sent;
    BlockAssembly blocks(st, [&] {
        if (sumOf(st.BlockData) != st.BlockSum) QTest::qFail("wrong block sum", __FILE__, __LINE__);
        sent.append({st.BlockAddress, int(st.BlockData.size())});
        return true;
    });
    AssembleImage(lines, st, blocks);
    if (!st.BlockData.isEmpty() || st.BlockSum != 0)
        QTest::qFail("a block left", __FILE__, __LINE__);
    return sent;
}

Spans every(qint64 step, int count, int length) {
    Spans s;
    for (int i = 0; i < count; ++i)
        s.append({step * i, length});
    return s;
}

struct Frame {
    int kind; // 1 start, 3 end, 2 data, -2 a data frame that is refused
    qint64 address;
    QByteArray data;
    long blockSum; // -1: the true sum
    QByteArray expected;
};

} // namespace

class TestImage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // One row per kind of fault the check refuses; whole runs and the fuzzer's corpus show what
    // it accepts, the top of the address space here.
    void check_data() {
        QTest::addColumn<Lines>("lines");
        QTest::addColumn<QString>("message"); // empty: accepted
        const QByteArray ok = data(0, "\x01\x02"), e = eof();
        // clang-format off
        QTest::newRow("no colon") << Lines{ok, "0200000001FD", e} << "Zeile 2: beginnt nicht mit \":\".";
        QTest::newRow("not hex") << Lines{ok, e.left(5) + " " + e.mid(5)} << "Zeile 2: Zeichen \" \" an Stelle 6 ist keine Hexziffer.";
        QTest::newRow("odd digits") << Lines{":0100000001F", e} << "Zeile 1: ungerade Anzahl von Hexziffern.";
        QTest::newRow("shorter than its count") << Lines{ok, ok.left(9) + ok.right(2), e} << "Zeile 2: Länge passt nicht zur Byteanzahl.";
        QTest::newRow("checksum") << Lines{ok, ":0400100001020304E3", e} << "Zeile 2: Prüfsumme falsch.";
        QTest::newRow("type 06") << Lines{record(6, 0, "\x01"), e} << "Zeile 1: unbekannter Satztyp 06.";
        QTest::newRow("address record of 3 bytes")
            << Lines{ok, record(4, 0, QByteArray(3, 1)), e} << "Zeile 2: Adresssatz muss genau 2 Datenbytes haben.";
        QTest::newRow("address record with address field")
            << Lines{record(2, 0x10, QByteArray(2, 0)), e} << "Zeile 1: Adresssatz mit Adressfeld ungleich 0000.";
        QTest::newRow("end record with data") << Lines{ok, record(1, 0, "\x01")} << "Zeile 2: Ende-Satz ist fehlerhaft.";
        QTest::newRow("last byte above FFFFFF")
            << Lines{linear(0x00FF), data(0xFFFF, "\x01\x02"), e} << "Zeile 2: Adresse 1000000 liegt über FFFFFF.";
        QTest::newRow("overlap through a segment, behind the end record")
            << Lines{data(0x100, pattern(16)), e, segment(0x0010), data(0, "\x05")}
            << "Zeile 4: Adresse 000100 wurde schon in Zeile 1 beschrieben.";
        QTest::newRow("no end record") << Lines{ok, data(2, "\x03"), ""} << "Zeile 3: Ende-Satz fehlt, die Datei ist unvollständig.";
        QTest::newRow("empty file") << Lines{} << "Die Datei ist leer.";
        QTest::newRow("no data bytes") << Lines{segment(0x1000), data(0x10, ""), e} << "Die Datei enthält keine Datenbytes.";
        QTest::newRow("255 bytes up to FFFFFF") << Lines{linear(0x00FF), data(0xFF01, pattern(255)), e} << "";
        // clang-format on
    }
    void check() {
        QFETCH(Lines, lines);
        QFETCH(QString, message);
        QCOMPARE(CheckImage(lines), message);
    }

    void blocks_data() {
        QTest::addColumn<Lines>("lines");
        QTest::addColumn<Spans>("expected");
        const QByteArray p16 = pattern(16);
        // clang-format off
        QTest::newRow("128 x 16 bytes") << contiguous(128, 16) << every(0xD0, 9, 208) + Spans{{0x750, 176}};
        QTest::newRow("gap") << Lines{data(0, p16), data(0x100, p16)} << Spans{{0, 16}, {0x100, 16}};
        QTest::newRow("address and end records do not cut")
            << Lines{data(0xFFF0, p16), segment(0x1000), data(0, p16), eof(), data(0x10, p16)} << Spans{{0xFFF0, 48}};
        QTest::newRow("step backwards, overlap")
            << Lines{data(0x20, p16), data(0x10, p16), data(0x18, pattern(4))} << Spans{{0x20, 16}, {0x10, 16}, {0x18, 4}};
        QTest::newRow("empty records: at the next address nothing, elsewhere a cut")
            << Lines{data(0, p16), data(0x10, ""), data(0x10, p16), data(0x50, ""), data(0x20, p16)} << Spans{{0, 32}, {0x20, 16}};
        QTest::newRow("blank line: an empty record at the base")
            << Lines{data(0x40, p16), "", data(0x50, p16)} << Spans{{0x40, 16}, {0x50, 16}};
        QTest::newRow("no data records") << Lines{segment(0x1000), eof()} << Spans{};
        QTest::newRow("200 bytes do not send, 201 do; then a block opens anywhere")
            << contiguous(25, 8).mid(0, 25) + Lines{data(200, "\x01"), data(0x400, "\x01")} << Spans{{0, 201}, {0x400, 1}};
        QTest::newRow("50-byte records: sent before passing 248") << contiguous(5, 50) << Spans{{0, 200}, {200, 50}};
        QTest::newRow("255-byte records go out in pieces")
            << Lines{data(0, pattern(255)), data(255, pattern(255))} << Spans{{0, 248}, {248, 7}, {255, 248}, {503, 7}};
        // clang-format on
    }
    void blocks() {
        QFETCH(Lines, lines);
        QFETCH(Spans, expected);
        QCOMPARE(assemble(lines), expected);
    }

    void frames_data() {
        QTest::addColumn<Frame>("f");
        QTest::newRow("start") << Frame{1, 0, "", -1,
                                        hex("68 0A 0A 68 FA 69 D3 AA 55 80 AA 55 30 FF E3 16")};
        QTest::newRow("end") << Frame{3, 0, "", -1, hex("68 06 06 68 FA 69 D3 AA 55 99 CE 16")};
        QTest::newRow("0x12345, 01 02 03")
            << Frame{2, 0x12345, hex("01 02 03"), -1,
                     hex("68 0A 0A 68 FA 69 D2 45 23 01 03 01 02 03 A7 16")};
        QTest::newRow("a wrong block sum goes out as built") << Frame{
            2, 0x12345, hex("01 02 03"), 7, hex("68 0A 0A 68 FA 69 D2 45 23 01 03 01 02 03 A8 16")};
        const QByteArray big(248, '\x01'); // L = 255, the most the length byte takes
        QTest::newRow("248 bytes at FFFFFF") << Frame{
            2, 0xFFFFFF, big, -1, hex("68 FF FF 68 FA 69 D2 FF FF FF F8") + big + hex("22 16")};
        // What cannot be expressed on the wire is refused; the end frame prepared before stays.
        const QByteArray end = hex("68 06 06 68 FA 69 D3 AA 55 99 CE 16");
        QTest::newRow("249 bytes") << Frame{-2, 0, QByteArray(249, 1), -1, end};
        QTest::newRow("address 1000000") << Frame{-2, 0x1000000, "\x01", -1, end};
        QTest::newRow("address below 0") << Frame{-2, -1, "\x01", -1, end};
    }
    void frames() {
        QFETCH(Frame, f);
        TransferState st;
        st.FrameByte1 = Frames::FrameByte1Value;
        BuildEndFrame(st);
        st.BlockAddress = f.address;
        st.BlockData = f.data;
        st.BlockSum = f.blockSum < 0 ? sumOf(f.data) : f.blockSum;
        if (f.kind == 1) BuildStartFrame(st);
        if (f.kind != 1 && f.kind != 3) QCOMPARE(BuildDataFrame(st), f.kind == 2);
        QCOMPARE(AssembleFrame(st).toHex(' '), f.expected.toHex(' '));
    }

    void monitorHex() {
        const QString ones = QStringLiteral("1 ");
        QCOMPARE(MonitorHex(hex("00 05 0F 10 E5 AA"), 32), "0 5 F 10 E5 AA "); // no leading zero
        QCOMPARE(MonitorHex(QByteArray(40, 1), 32), ones.repeated(32) + "\r\n" + ones.repeated(8));
        QCOMPARE(MonitorHex(QByteArray(32, 1), 32), ones.repeated(32) + "\r\n");
        QCOMPARE(MonitorHex(QByteArray(40, 1), 0), ones.repeated(40)); // the reply's: no breaks
    }

};

QTEST_GUILESS_MAIN(TestImage)
#include "tst_image.moc"
