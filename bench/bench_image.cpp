// Speed and memory of the image path: check, decode and block assembly of a large image.
// Usage: bench_image [records]   (default 65536 records of 16 bytes: 1 MiB of firmware)

#include "protocol/Frames.h"
#include "simulator/HexWriter.h"
#include "transfer/BlockAssembly.h"
#include "transfer/HexImage.h"

#include <QElapsedTimer>
#include <cstdio>
#include <cstdlib>

namespace {
QByteArray record(int type, int offset, const QByteArray &data) {
    return QByteArray::fromStdString(hexwriter::Record(
               type, unsigned(offset), reinterpret_cast<const std::uint8_t *>(data.constData()),
               std::size_t(data.size()))) +
           "\r\n";
}
} // namespace

int main(int argc, char **argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 65536;
    QByteArray file;
    int segment = -1;
    for (int i = 0; i < records; ++i) {
        const int address = i * 16;
        if (address >> 16 != segment) {
            segment = address >> 16;
            file += record(4, 0, QByteArray(1, char(segment >> 8)) + char(segment));
        }
        QByteArray d(16, 0);
        for (int k = 0; k < 16; ++k)
            d[k] = char(i + k);
        file += record(0, address & 0xFFFF, d);
    }
    file += ":00000001FF\r\n";

    QElapsedTimer t;
    t.start();
    const QList<QByteArray> lines = SplitLines(file);
    const qint64 split = t.nsecsElapsed();
    const QString problem = CheckImage(lines);
    const qint64 checked = t.nsecsElapsed();
    const ImagePlan plan = PlanImage(lines);
    const qint64 planned = t.nsecsElapsed();
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "check failed: %s\n", qPrintable(problem));
        return 1;
    }
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    long frames = 0, bytes = 0;
    BlockAssembly blocks(st, [&] {
        BuildDataFrame(st);
        bytes += AssembleFrame(st).size();
        ++frames;
        return true;
    });
    AssembleImage(lines, st, blocks);
    const qint64 done = t.nsecsElapsed();
    std::printf("%d records, %lld KiB of text: split %.1f ms, check and decode %.1f ms, "
                "the whole plan %.1f ms, blocks and frames built %.1f ms; %ld frames, %ld bytes "
                "on the wire (%lld planned)\n",
                records, (long long)(file.size() / 1024), split / 1e6, (checked - split) / 1e6,
                (planned - checked) / 1e6, (done - planned) / 1e6, frames, bytes,
                (long long)plan.summary.lineBytes);
    // At 38400 baud, 11 bits a byte: the wire is the bottleneck by far.
    std::printf("wire time at 38400 baud: %.1f s\n", bytes * 11.0 / 38400.0);
    return 0;
}
