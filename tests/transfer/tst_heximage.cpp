// Reading, checking and decoding of firmware images.

#include "support/HexBuilder.h"
#include "transfer/HexImage.h"

#include <QTemporaryDir>
#include <QTest>

using namespace hexfile;

class TestHexImage : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void splitLines_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QList<QByteArray>{"a", "b"};
        QTest::newRow("LF") << QByteArray("a\nb\n") << QList<QByteArray>{"a", "b"};
        QTest::newRow("no final end") << QByteArray("a\r\nb") << QList<QByteArray>{"a", "b"};
        QTest::newRow("blank lines count")
            << QByteArray("a\r\n\r\nb\r\n") << QList<QByteArray>{"a", "", "b"};
        QTest::newRow("empty file") << QByteArray() << QList<QByteArray>{};
        QTest::newRow("one empty line") << QByteArray("\r\n") << QList<QByteArray>{""};
    }
    void splitLines() {
        QFETCH(QByteArray, content);
        QFETCH(QList<QByteArray>, lines);
        QCOMPARE(SplitLines(content), lines);
    }

    void rejections_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<QString>("message");
        const QByteArray ok = data(0, "\x01\x02");
        QTest::newRow("no colon") << QList<QByteArray>{ok, "0200000001FD", eof()}
                                  << "Zeile 2: beginnt nicht mit \":\".";
        QTest::newRow("not hex") << QList<QByteArray>{ok, ":0100000G00FF", eof()}
                                 << "Zeile 2: Zeichen \"G\" an Stelle 9 ist keine Hexziffer.";
        QTest::newRow("blank inside") << QList<QByteArray>{ok, eof().left(5) + " " + eof().mid(5)}
                                      << "Zeile 2: Zeichen \" \" an Stelle 6 ist keine Hexziffer.";
        QTest::newRow("odd digits") << QList<QByteArray>{":0100000001F", eof()}
                                    << "Zeile 1: ungerade Anzahl von Hexziffern.";
        QTest::newRow("too short for count")
            << QList<QByteArray>{ok, ok.left(ok.size() - 4) + ok.right(2), eof()}
            << "Zeile 2: Länge passt nicht zur Byteanzahl.";
        QTest::newRow("too long for count") << QList<QByteArray>{":00000000000000", eof()}
                                            << "Zeile 1: Länge passt nicht zur Byteanzahl.";
        QTest::newRow("checksum") << QList<QByteArray>{ok, data(2, "\x03"), ":0400100001020304E3",
                                                       eof()}
                                  << "Zeile 3: Prüfsumme falsch.";
        QTest::newRow("type 06") << QList<QByteArray>{record(6, 0, "\x01"), eof()}
                                 << "Zeile 1: unbekannter Satztyp 06.";
        QTest::newRow("segment with 1 byte")
            << QList<QByteArray>{record(2, 0, "\x10"), eof()}
            << "Zeile 1: Adresssatz muss genau 2 Datenbytes haben.";
        QTest::newRow("linear with 3 bytes")
            << QList<QByteArray>{ok, record(4, 0, QByteArray("\x00\x01\x02", 3)), eof()}
            << "Zeile 2: Adresssatz muss genau 2 Datenbytes haben.";
        QTest::newRow("segment with address field")
            << QList<QByteArray>{record(2, 0x0010, QByteArray("\x10\x00", 2)), eof()}
            << "Zeile 1: Adresssatz mit Adressfeld ungleich 0000.";
        QTest::newRow("end record with data")
            << QList<QByteArray>{ok, record(1, 0, "\x01")} << "Zeile 2: Ende-Satz ist fehlerhaft.";
        QTest::newRow("above FFFFFF by linear")
            << QList<QByteArray>{linear(0x0100), data(0, "\x01"), eof()}
            << "Zeile 2: Adresse 1000000 liegt über FFFFFF.";
        QTest::newRow("last byte above FFFFFF")
            << QList<QByteArray>{linear(0x00FF), data(0xFFFF, "\x01\x02"), eof()}
            << "Zeile 2: Adresse 1000000 liegt über FFFFFF.";
        QTest::newRow("same address twice")
            << QList<QByteArray>{data(0x10, pattern(16)), data(0x40, pattern(4)),
                                 data(0x1F, "\x01"), eof()}
            << "Zeile 3: Adresse 00001F wurde schon in Zeile 1 beschrieben.";
        QTest::newRow("overlap through segment")
            << QList<QByteArray>{data(0x100, pattern(16)), segment(0x0010), data(0, "\x05"), eof()}
            << "Zeile 3: Adresse 000100 wurde schon in Zeile 1 beschrieben.";
        QTest::newRow("overlap after end record")
            << QList<QByteArray>{data(0, pattern(8)), eof(), data(4, "\x01")}
            << "Zeile 3: Adresse 000004 wurde schon in Zeile 1 beschrieben.";
        QTest::newRow("no end record") << QList<QByteArray>{ok, data(2, "\x03"), ""}
                                       << "Zeile 3: Ende-Satz fehlt, die Datei ist unvollständig.";
        QTest::newRow("empty file") << QList<QByteArray>{} << "Die Datei ist leer.";
        QTest::newRow("no data bytes") << QList<QByteArray>{segment(0x1000), data(0x10, ""), eof()}
                                       << "Die Datei enthält keine Datenbytes.";
    }
    void rejections() {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QString, message);
        QCOMPARE(CheckImage(lines), message);
    }

    void acceptedFiles_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::newRow("worked example")
            << QList<QByteArray>{":020000021000EC", ":0400100001020304E2", ":00000001FF"};
        QTest::newRow("blank lines and lower case")
            << QList<QByteArray>{"", data(0, pattern(4)).toLower(), "   ", eof()};
        QTest::newRow("start addresses ignored") << QList<QByteArray>{
            record(3, 0, pattern(4)), data(0, "\x01"), record(5, 0, pattern(4)), eof()};
        QTest::newRow("zero-length records anywhere")
            << QList<QByteArray>{data(0, pattern(4)), data(0, ""), data(2, ""), eof()};
        QTest::newRow("lines after end record")
            << QList<QByteArray>{data(0, pattern(4)), eof(), data(4, pattern(4))};
        QTest::newRow("top of address space")
            << QList<QByteArray>{linear(0x00FF), data(0xFFF0, pattern(16)), eof()};
        QTest::newRow("255-byte record") << QList<QByteArray>{data(0, pattern(255)), eof()};
        QTest::newRow("DOS end mark") << QList<QByteArray>{data(0, pattern(4)), eof(), "\x1A"};
        QTest::newRow("blanks and tabs behind the checksum")
            << QList<QByteArray>{data(0, pattern(4)) + " \t ", eof() + "\t"};
    }
    void acceptedFiles() {
        QFETCH(QList<QByteArray>, lines);
        QCOMPARE(CheckImage(lines), QString());
    }

    void decodeLines_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<QByteArray>("last");
        QTest::addColumn<int>("kind");
        QTest::addColumn<qint64>("address");
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<long>("sum");
        QTest::newRow("worked example")
            << QList<QByteArray>{":020000021000EC"} << QByteArray(":0400100001020304E2")
            << int(RecordKind::Data) << qint64(0x10010) << QByteArray("\x01\x02\x03\x04", 4) << 10L;
        QTest::newRow("segment 0x8000 and up is unsigned")
            << QList<QByteArray>{":02000002F0000C"} << data(0, "\x07") << int(RecordKind::Data)
            << qint64(0xF0000) << QByteArray("\x07") << 7L;
        QTest::newRow("second segment wins")
            << QList<QByteArray>{segment(0x1000), segment(0x2000)} << data(0x10, "\x01")
            << int(RecordKind::Data) << qint64(0x20010) << QByteArray("\x01") << 1L;
        QTest::newRow("linear base")
            << QList<QByteArray>{linear(0x0012)} << data(0x3456, "\xFF\xFF")
            << int(RecordKind::Data) << qint64(0x123456) << QByteArray("\xFF\xFF") << 510L;
        QTest::newRow("segment replaces linear")
            << QList<QByteArray>{linear(0x0012), segment(0x0001)} << data(0, "\x01")
            << int(RecordKind::Data) << qint64(0x10) << QByteArray("\x01") << 1L;
        QTest::newRow("linear replaces segment")
            << QList<QByteArray>{segment(0x1000), linear(0x0002)} << data(0, "\x01")
            << int(RecordKind::Data) << qint64(0x20000) << QByteArray("\x01") << 1L;
        QTest::newRow("lower case")
            << QList<QByteArray>{} << data(0xABCD, "\xAB").toLower() << int(RecordKind::Data)
            << qint64(0xABCD) << QByteArray("\xAB") << 171L;
        QTest::newRow("empty line is an empty record at the base")
            << QList<QByteArray>{segment(0x0100)} << QByteArray() << int(RecordKind::Data)
            << qint64(0x1000) << QByteArray() << 0L;
        QTest::newRow("zero length") << QList<QByteArray>{} << data(0x20, "")
                                     << int(RecordKind::Data) << qint64(0x20) << QByteArray() << 0L;
        QTest::newRow("sum is not reduced")
            << QList<QByteArray>{} << data(0, QByteArray(4, '\xFF')) << int(RecordKind::Data)
            << qint64(0) << QByteArray(4, '\xFF') << 1020L;
        QTest::newRow("end record is skipped")
            << QList<QByteArray>{} << eof() << int(RecordKind::EndOfFile) << qint64(-1)
            << QByteArray() << 0L;
        QTest::newRow("start address is skipped")
            << QList<QByteArray>{} << record(5, 0, pattern(4)) << int(RecordKind::StartAddress)
            << qint64(-1) << QByteArray() << 0L;
    }
    void decodeLines() {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(QByteArray, last);
        QFETCH(int, kind);
        QFETCH(qint64, address);
        QFETCH(QByteArray, data);
        QFETCH(long, sum);
        TransferState st;
        st.RecordAddress = -1;
        HexDecoder decoder;
        int length = -1;
        for (const QByteArray &l : lines)
            decoder.DecodeLine(l, st, length);
        QCOMPARE(int(decoder.DecodeLine(last, st, length)), kind);
        QCOMPARE(qint64(st.RecordAddress), address);
        if (kind == int(RecordKind::Data)) {
            QCOMPARE(st.RecordData, data);
            QCOMPARE(st.RecordSum, sum);
            QCOMPARE(length, int(data.size()));
        }
    }

    void readFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("x.a35"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(join({data(0, "\x01"), eof()}, "\n"));
        f.close();
        QList<QByteArray> lines;
        QString error;
        QVERIFY(ReadImageFile(path, lines, error));
        QCOMPARE(lines.size(), 2);
        QVERIFY(!ReadImageFile(dir.filePath(QStringLiteral("missing.a35")), lines, error));
        QVERIFY(!error.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestHexImage)
#include "tst_heximage.moc"
