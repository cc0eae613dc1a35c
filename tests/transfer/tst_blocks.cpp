// Block assembly: the sequences of blocks a record stream gives, and an independent referee
// (srec_cat) for generated images.

#include "support/HexBuilder.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <map>

using namespace hexfile;

namespace {

struct Block {
    qint64 address;
    QByteArray data;
    long sum;
};

struct Blocks {
    QList<Block> sent;
    bool stopped = false;
};

// Decodes and assembles lines as the programming run does; stopAfter > 0 makes the n-th send
// report a failed command.
Blocks assemble(const QList<QByteArray> &lines, int stopAfter = 0) {
    TransferState st;
    Blocks out;
    BlockAssembly blocks(st, [&] {
        out.sent.append({st.BlockAddress, st.BlockData, st.BlockSum});
        return stopAfter == 0 || out.sent.size() < stopAfter;
    });
    blocks.Reset();
    HexDecoder decoder;
    for (const QByteArray &line : lines) {
        int length = 0;
        if (decoder.DecodeLine(line, st, length) != RecordKind::Data) continue;
        if (!blocks.AddRecord(length)) {
            out.stopped = true;
            return out;
        }
    }
    out.stopped = !blocks.Finish();
    return out;
}

using Spans = QList<QPair<qint64, int>>;

Spans spans(const Blocks &b) {
    Spans s;
    for (const Block &blk : b.sent)
        s.append({blk.address, int(blk.data.size())});
    return s;
}

Spans every(qint64 from, qint64 step, int count, int length) {
    Spans s;
    for (int i = 0; i < count; ++i)
        s.append({from + step * i, length});
    return s;
}

long sumOf(const QByteArray &b) {
    long s = 0;
    for (char c : b)
        s += quint8(c);
    return s;
}

} // namespace

class TestBlocks : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sequences_data() {
        QTest::addColumn<QList<QByteArray>>("lines");
        QTest::addColumn<Spans>("expected");

        QTest::newRow("128 x 16 bytes")
            << contiguous(128, 16) << every(0, 0xD0, 9, 208) + Spans{{0x750, 176}};
        QTest::newRow("64 x 32 bytes")
            << contiguous(64, 32) << every(0, 0xE0, 9, 224) + Spans{{0x7E0, 32}};
        QTest::newRow("48-byte records stay within a frame")
            << contiguous(10, 48) << Spans{{0, 240}, {240, 240}};
        QTest::newRow("gap") << QList<QByteArray>{data(0, pattern(16)), data(0x100, pattern(16))}
                             << Spans{{0, 16}, {0x100, 16}};
        QTest::newRow("segment record does not cut")
            << QList<QByteArray>{data(0xFFF0, pattern(16)), segment(0x1000), data(0, pattern(16))}
            << Spans{{0xFFF0, 32}};
        QTest::newRow("end record does not cut")
            << QList<QByteArray>{data(0, pattern(16)), eof(), data(0x10, pattern(16))}
            << Spans{{0, 32}};
        QTest::newRow("step backwards")
            << QList<QByteArray>{data(0x20, pattern(16)), data(0x10, pattern(16))}
            << Spans{{0x20, 16}, {0x10, 16}};
        QTest::newRow("overlap") << QList<QByteArray>{data(0, pattern(16)), data(8, pattern(16))}
                                 << Spans{{0, 16}, {8, 16}};
        QTest::newRow("empty record at next address")
            << QList<QByteArray>{data(0, pattern(16)), data(0x10, ""), data(0x10, pattern(16))}
            << Spans{{0, 32}};
        QTest::newRow("empty record elsewhere closes the block")
            << QList<QByteArray>{data(0, pattern(16)), data(0x50, ""), data(0x10, pattern(16))}
            << Spans{{0, 16}, {0x10, 16}};
        QTest::newRow("blank line is an empty record at the base")
            << QList<QByteArray>{data(0x40, pattern(16)), "", data(0x50, pattern(16))}
            << Spans{{0x40, 16}, {0x50, 16}};
        QTest::newRow("no data records") << QList<QByteArray>{segment(0x1000), eof()} << Spans{};
        QTest::newRow("after the threshold a new block opens anywhere")
            << contiguous(13, 16).mid(0, 13) + QList<QByteArray>{data(0x500, pattern(16))}
            << Spans{{0, 208}, {0x500, 16}};
        QTest::newRow("200 bytes do not send")
            << contiguous(25, 8).mid(0, 25) + QList<QByteArray>{data(0x400, "\x01")}
            << Spans{{0, 200}, {0x400, 1}};
        QTest::newRow("201 bytes send")
            << contiguous(25, 8).mid(0, 25) + QList<QByteArray>{data(200, "\x01")}
            << Spans{{0, 201}};
        QTest::newRow("50-byte records: sent before passing 248")
            << contiguous(5, 50) << Spans{{0, 200}, {200, 50}};
        QTest::newRow("long record opens, next one would overflow")
            << QList<QByteArray>{data(0, pattern(240)), data(240, pattern(16))}
            << Spans{{0, 240}, {240, 16}};
        QTest::newRow("255-byte records go out in pieces")
            << QList<QByteArray>{data(0, pattern(255)), data(255, pattern(255))}
            << Spans{{0, 248}, {248, 7}, {255, 248}, {503, 7}};
    }
    void sequences() {
        QFETCH(QList<QByteArray>, lines);
        QFETCH(Spans, expected);
        const Blocks b = assemble(lines);
        QCOMPARE(spans(b), expected);
        for (const Block &blk : b.sent)
            QCOMPARE(blk.sum, sumOf(blk.data)); // the sum travels with the data, unreduced
    }

    void sumsAreNotReduced() {
        const Blocks b = assemble({data(0, QByteArray(4, '\xFF')), data(0x10, "\x01\x02\x03")});
        QCOMPARE(b.sent.size(), 2);
        QCOMPARE(b.sent[0].sum, 1020L);
        QCOMPARE(b.sent[1].sum, 6L);
    }

    void failedSendStopsAssembly_data() {
        QTest::addColumn<int>("stopAfter");
        QTest::addColumn<int>("sends");
        QTest::newRow("first block") << 1 << 1;
        QTest::newRow("fifth block") << 5 << 5;
        QTest::newRow("last block, sent by finish") << 10 << 10;
    }
    void failedSendStopsAssembly() {
        QFETCH(int, stopAfter);
        QFETCH(int, sends);
        const Blocks b = assemble(contiguous(128, 16), stopAfter);
        QVERIFY(b.stopped);
        QCOMPARE(b.sent.size(), sends);
    }

    // For generated images, the blocks put at their addresses give exactly what srec_cat reads
    // from the same file, and no block is longer than one frame can carry.
    void srecCatReferee() {
        const QString srecCat = QStandardPaths::findExecutable(QStringLiteral("srec_cat"));
        if (srecCat.isEmpty()) QSKIP("srec_cat (package srecord) is not installed");
        QTemporaryDir dir;
        QRandomGenerator rng(7310);
        for (int file = 0; file < 300; ++file) {
            const QList<QByteArray> lines = randomImage(rng, file);
            QCOMPARE(CheckImage(lines), QString());
            const QString in = dir.filePath(QStringLiteral("img.hex"));
            const QString out = dir.filePath(QStringLiteral("img.bin"));
            QFile f(in);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write(join(lines));
            f.close();
            QFile::remove(out);
            QProcess p;
            p.start(srecCat, {in, QStringLiteral("-intel"), QStringLiteral("-o"), out,
                              QStringLiteral("-binary")});
            QVERIFY(p.waitForFinished(30000));
            QVERIFY2(p.exitCode() == 0, p.readAllStandardError().constData());
            QFile bin(out);
            QVERIFY(bin.open(QIODevice::ReadOnly));
            const QByteArray reference = bin.readAll();

            const Blocks b = assemble(lines);
            std::map<qint64, char> placed;
            for (const Block &blk : b.sent) {
                QVERIFY2(blk.data.size() <= 248, qPrintable(QString::number(blk.data.size())));
                QCOMPARE(blk.sum, sumOf(blk.data));
                for (int i = 0; i < blk.data.size(); ++i)
                    QVERIFY2(placed.emplace(blk.address + i, blk.data[i]).second,
                             "an address was sent twice");
            }
            qint64 end = placed.empty() ? 0 : placed.rbegin()->first + 1;
            QCOMPARE(qint64(reference.size()), end);
            for (qint64 a = 0; a < end; ++a) {
                const auto it = placed.find(a);
                const char expected = it == placed.end() ? '\0' : it->second;
                if (reference[a] != expected)
                    QFAIL(qPrintable(
                        QStringLiteral("file %1: address %2 differs").arg(file).arg(a, 0, 16)));
            }
        }
    }

private:
    // Non-overlapping data in random order, records of 0..255 bytes, segment and linear address
    // records, gaps, start address records.
    static QList<QByteArray> randomImage(QRandomGenerator &rng, int file) {
        const qint64 window = file % 50 == 0 ? 0xFFFFFF : file % 3 == 0 ? 0x10FFEF : 0x4000;
        std::map<qint64, qint64> used; // first -> last
        QList<QPair<qint64, QByteArray>> records;
        const int regions = 1 + rng.bounded(6);
        for (int r = 0; r < regions; ++r) {
            const int length = rng.bounded(1, 1200);
            const qint64 first = rng.bounded(qint64(0), window - length + 2);
            const qint64 last = first + length - 1;
            bool clash = false;
            for (const auto &[a, b] : used)
                clash = clash || !(last < a || first > b);
            if (clash) continue;
            used[first] = last;
            qint64 at = first;
            while (at <= last) {
                int n = int(std::min<qint64>(rng.bounded(0, 256), last - at + 1));
                // A record never crosses a 64 KiB boundary of its address base.
                n = int(std::min<qint64>(n, 0x10000 - (at & 0xFFFF)));
                records.append({at, pattern(n, int(at))});
                at += n;
            }
        }
        for (int i = int(records.size()) - 1; i > 0; --i) // out of order
            records.swapItemsAt(i, rng.bounded(i + 1));
        QList<QByteArray> lines;
        if (rng.bounded(2)) lines << record(3, 0, pattern(4));
        for (const auto &[address, bytes] : records) {
            const bool useSegment =
                address + bytes.size() <= 0x107000 && (address < 0x8000 || rng.bounded(2));
            if (useSegment) {
                const int seg = int(std::max<qint64>(0, (address - 0x8000) >> 4));
                lines << segment(seg) << data(int(address - qint64(seg) * 16), bytes);
            } else {
                lines << linear(int(address >> 16)) << data(int(address & 0xFFFF), bytes);
            }
        }
        if (rng.bounded(2)) lines << record(5, 0, pattern(4));
        lines << eof();
        return lines;
    }
};

QTEST_GUILESS_MAIN(TestBlocks)
#include "tst_blocks.moc"
