#pragma once
// Request frames (FT1.2 variable-length layout) and the hex text of the traffic monitor.

#include "protocol/TransferState.h"

#include <QByteArray>
#include <QString>

namespace Frames {
constexpr int StartByte = 0x68;
constexpr int StopByte = 0x16;
constexpr int ControlCommand = 211; // 0xD3
constexpr int DataCommand = 210;    // 0xD2
constexpr int FrameByte1Value = 250;
constexpr int MaxBlockBytes = 248; // L = n + 7 must fit in one byte
constexpr std::int64_t MaxAddress = 0xFFFFFF;
constexpr int ReplyBytes = 5;
// Bytes on the wire: a frame is its user data (3 + payload) and 6 bytes around them.
constexpr qsizetype StartFrameBytes = 16;
constexpr qsizetype EndFrameBytes = 12;
constexpr qsizetype DataFrameBytes(qsizetype dataBytes) {
    return dataBytes + 13;
}
} // namespace Frames

void BuildStartFrame(TransferState &st);
void BuildEndFrame(TransferState &st);
// Refuses (returns false and leaves the frame fields alone) a block of more than 248 bytes or an
// address outside 0..FFFFFF: such a frame cannot be expressed on the wire.
bool BuildDataFrame(TransferState &st);

// A reply has the form of a fixed-length frame: 10, two bytes, their sum, 16. Five bytes of
// noise (a break reads as five 0x00) are no reply, however well they fit in time.
bool ReplyWellFormed(const QByteArray &reply);

// The bytes that go on the wire for the frame prepared in the state.
QByteArray AssembleFrame(const TransferState &st);

// Upper-case hex without leading zero, one blank after each byte; with breakEvery > 0 a CR LF
// follows the blank of every breakEvery-th byte.
QString MonitorHex(const QByteArray &bytes, int breakEvery = 0);
