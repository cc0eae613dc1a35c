#pragma once
// The firmware image file (Intel HEX, ".a35"): read once into memory, checked as a whole before
// anything is sent, then decoded line by line from what was read.

#include "protocol/TransferState.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

// Lines without their line ends (CR LF or LF); a final line end adds no empty line.
QList<QByteArray> SplitLines(const QByteArray &content);

// Reads the whole file. On failure returns false and puts the reason into error.
bool ReadImageFile(const QString &path, QList<QByteArray> &lines, QString &error);

// Empty when the image can be programmed; otherwise one German sentence naming the line.
QString CheckImage(const QList<QByteArray> &lines);

enum class RecordKind { Data, Segment, Linear, EndOfFile, StartAddress };

// Decodes one line at a time, keeping the address base between lines.
class HexDecoder {
public:
    // Value of the last 02 or 04 record; 0 at the start of a file pass.
    std::uint32_t SegmentValue = 0;
    bool LinearBase = false; // the last address record was an 04

    // For a data record RecordLength and the record variables of the state are set.
    RecordKind DecodeLine(const QByteArray &line, TransferState &st, int &RecordLength);

    std::int64_t base() const {
        return LinearBase ? std::int64_t(SegmentValue) << 16 : std::int64_t(SegmentValue) << 4;
    }
};
