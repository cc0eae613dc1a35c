#pragma once
// Gathers decoded data records into blocks of contiguous bytes; each block becomes one data
// frame.

#include "protocol/TransferState.h"

#include <QByteArray>
#include <QList>
#include <cstdint>
#include <functional>

class BlockAssembly {
public:
    static constexpr int Threshold = 200;

    // sendBlock is handed each finished block in BlockAddress/BlockData/BlockSum (the run plans
    // them all before the start command; the fuzzer checks them) and returns false to stop.
    BlockAssembly(TransferState &st, std::function<bool()> sendBlock)
        : st_(st), sendBlock_(std::move(sendBlock)) {}

    void Reset();
    // Takes RecordAddress, RecordData and RecordSum from the state. False: stop the run.
    bool AddRecord(int RecordLength);
    // Sends the open block, if any. False: stop the run.
    bool Finish();

    int BlockLength = 0;
    std::int64_t NextAddress = 0;

private:
    bool send();
    bool open(std::int64_t address, const QByteArray &data, long sum);
    void clear();

    TransferState &st_;
    std::function<bool()> sendBlock_;
};

// Hands every block of the image's records to the assembly's callback in the order a run sends
// them: false as soon as the callback says stop. *line, when given, follows the line of the
// record being added (from 1; the line count once the last block is finished).
bool AssembleImage(const QList<QByteArray> &lines, TransferState &st, BlockAssembly &blocks,
                   int *line = nullptr);

// One block as a run sends it, and the image line whose record closed it.
struct PlannedBlock {
    std::int64_t address;
    QByteArray data;
    long sum;
    int line;
};

// What a user wants to confirm before a transfer.
struct ImageSummary {
    int records = 0;
    qint64 dataBytes = 0;
    QList<std::pair<std::int64_t, std::int64_t>> ranges; // first and last address of each run
    int frames = 0;                                      // start, blocks and end
    qint64 lineBytes = 0;                                // frames and their replies
    // [line]: data bytes of the blocks closed before image line `line` (from 1)
    QList<qint64> bytesBeforeLine;
};

// An image read once: checked, decoded, cut into blocks, and what goes on the wire, for the run
// and for whoever shows it. Nothing of it is to be sent when problem is not empty.
struct ImagePlan {
    QString problem;
    int lines = 0;
    QList<PlannedBlock> blocks;  // in the order they go out
    QList<qsizetype> frameSizes; // the start, the blocks, the end
    ImageSummary summary;
    bool fit() const { return problem.isEmpty(); }
};
ImagePlan PlanImage(const QList<QByteArray> &lines);
