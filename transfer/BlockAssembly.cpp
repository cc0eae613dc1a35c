#include "transfer/BlockAssembly.h"

#include "protocol/Frames.h"
#include "transfer/HexImage.h"

namespace {
long byteSum(const QByteArray &bytes) {
    long s = 0;
    for (char c : bytes)
        s += quint8(c);
    return s;
}
} // namespace

void BlockAssembly::Reset() {
    BlockLength = 0;
    clear();
}

void BlockAssembly::clear() {
    st_.BlockSum = 0;
    st_.BlockData.clear();
}

bool BlockAssembly::send() {
    const bool goOn = sendBlock_();
    BlockLength = 0;
    clear();
    return goOn;
}

// Opens a block with a record; a record too long for one frame first goes out in full pieces.
bool BlockAssembly::open(std::int64_t address, const QByteArray &data, long sum) {
    qsizetype from = 0;
    while (data.size() - from > Frames::MaxBlockBytes) {
        st_.BlockAddress = address + from;
        st_.BlockData = data.mid(from, Frames::MaxBlockBytes);
        st_.BlockSum = byteSum(st_.BlockData);
        BlockLength = Frames::MaxBlockBytes;
        from += Frames::MaxBlockBytes;
        if (!send()) return false;
    }
    st_.BlockAddress = address + from;
    st_.BlockData = from == 0 ? data : data.mid(from);
    st_.BlockSum = from == 0 ? sum : byteSum(st_.BlockData);
    BlockLength = int(st_.BlockData.size());
    NextAddress = address + data.size();
    return true;
}

bool BlockAssembly::AddRecord(int RecordLength) {
    const std::int64_t a = st_.RecordAddress;
    if (BlockLength == 0) return open(a, st_.RecordData, st_.RecordSum);
    if (a == NextAddress) {
        // A block must never outgrow one frame: send it before this record would.
        if (BlockLength + RecordLength > Frames::MaxBlockBytes) {
            if (!send()) return false;
            return open(a, st_.RecordData, st_.RecordSum);
        }
        BlockLength += RecordLength;
        st_.BlockSum += st_.RecordSum;
        st_.BlockData += st_.RecordData;
        NextAddress = a + RecordLength;
        if (BlockLength > Threshold) return send();
        return true;
    }
    if (!send()) return false;
    return open(a, st_.RecordData, st_.RecordSum);
}

bool BlockAssembly::Finish() {
    if (BlockLength != 0) return send();
    return true;
}

bool AssembleImage(const QList<QByteArray> &lines, TransferState &st, BlockAssembly &blocks,
                   int *line) {
    int scratch = 0;
    int &at = line ? *line : scratch;
    blocks.Reset();
    HexDecoder decoder;
    at = 0;
    for (const QByteArray &text : lines) {
        ++at;
        int RecordLength = 0;
        if (decoder.DecodeLine(text, st, RecordLength) != RecordKind::Data) continue;
        if (!blocks.AddRecord(RecordLength)) return false;
    }
    at = int(lines.size());
    return blocks.Finish();
}

QList<PlannedBlock> PlanBlocks(const QList<QByteArray> &lines) {
    TransferState st;
    QList<PlannedBlock> planned;
    int line = 0;
    BlockAssembly blocks(st, [&] {
        planned.append({st.BlockAddress, st.BlockData, st.BlockSum, line});
        return true;
    });
    AssembleImage(lines, st, blocks, &line);
    return planned;
}

QList<qsizetype> PlannedFrameSizes(const QList<PlannedBlock> &blocks) {
    TransferState st;
    st.FrameByte1 = Frames::FrameByte1Value;
    QList<qsizetype> sizes;
    BuildStartFrame(st);
    sizes << AssembleFrame(st).size();
    for (const PlannedBlock &b : blocks) {
        st.BlockAddress = b.address;
        st.BlockData = b.data;
        st.BlockSum = b.sum;
        BuildDataFrame(st);
        sizes << AssembleFrame(st).size();
    }
    BuildEndFrame(st);
    sizes << AssembleFrame(st).size();
    return sizes;
}

ImageSummary SummarizeImage(const QList<QByteArray> &lines) {
    ImageSummary s;
    if (!CheckImage(lines).isEmpty()) return s;
    for (const QByteArray &line : lines)
        s.records += line.trimmed().startsWith(':');
    const QList<PlannedBlock> blocks = PlanBlocks(lines);
    s.bytesBeforeLine.fill(0, lines.size() + 2);
    for (const PlannedBlock &b : blocks) {
        const std::int64_t last = b.address + b.data.size() - 1;
        if (!s.ranges.isEmpty() && s.ranges.last().second + 1 == b.address)
            s.ranges.last().second = last;
        else
            s.ranges.append({b.address, last});
        s.dataBytes += b.data.size();
        s.bytesBeforeLine[std::min<qsizetype>(b.line + 1, lines.size() + 1)] += b.data.size();
    }
    for (qsizetype l = 1; l < s.bytesBeforeLine.size(); ++l)
        s.bytesBeforeLine[l] += s.bytesBeforeLine[l - 1];
    const QList<qsizetype> sizes = PlannedFrameSizes(blocks);
    s.frames = int(sizes.size());
    for (qsizetype size : sizes)
        s.lineBytes += size + Frames::ReplyBytes;
    return s;
}
