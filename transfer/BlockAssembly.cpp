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

namespace {
bool assemble(const ParsedImage &image, int lineCount, TransferState &st, BlockAssembly &blocks,
              int *line) {
    int scratch = 0;
    int &at = line ? *line : scratch;
    blocks.Reset();
    for (const ImageRecord &r : image.records) {
        at = r.line;
        st.RecordAddress = r.address;
        st.RecordData = r.data;
        st.RecordSum = r.sum;
        if (!blocks.AddRecord(int(r.data.size()))) return false;
    }
    at = lineCount;
    return blocks.Finish();
}
} // namespace

bool AssembleImage(const QList<QByteArray> &lines, TransferState &st, BlockAssembly &blocks,
                   int *line) {
    return assemble(ParseImage(lines), int(lines.size()), st, blocks, line);
}

ImagePlan PlanImage(const QList<QByteArray> &lines) {
    ImagePlan plan;
    const ParsedImage image = ParseImage(lines);
    plan.problem = image.problem;
    plan.lines = int(lines.size());
    if (!plan.fit()) return plan;

    TransferState st;
    int line = 0;
    BlockAssembly blocks(st, [&] {
        plan.blocks.append({st.BlockAddress, st.BlockData, st.BlockSum, line});
        return true;
    });
    assemble(image, plan.lines, st, blocks, &line);

    ImageSummary &s = plan.summary;
    s.records = image.recordLines;
    s.bytesBeforeLine.fill(0, lines.size() + 2);
    plan.frameSizes << Frames::StartFrameBytes;
    for (const PlannedBlock &b : plan.blocks) {
        const std::int64_t last = b.address + b.data.size() - 1;
        if (!s.ranges.isEmpty() && s.ranges.last().second + 1 == b.address)
            s.ranges.last().second = last;
        else
            s.ranges.append({b.address, last});
        s.dataBytes += b.data.size();
        s.bytesBeforeLine[std::min<qsizetype>(b.line + 1, lines.size() + 1)] += b.data.size();
        plan.frameSizes << Frames::DataFrameBytes(b.data.size());
    }
    plan.frameSizes << Frames::EndFrameBytes;
    for (qsizetype l = 1; l < s.bytesBeforeLine.size(); ++l)
        s.bytesBeforeLine[l] += s.bytesBeforeLine[l - 1];
    s.frames = int(plan.frameSizes.size());
    for (qsizetype size : plan.frameSizes)
        s.lineBytes += size + Frames::ReplyBytes;
    return plan;
}
