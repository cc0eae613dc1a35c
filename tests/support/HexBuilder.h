#pragma once
// Builds Intel HEX lines with correct checksums, for tests.

#include "simulator/HexWriter.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace hexfile {

inline QByteArray record(int type, int offset, const QByteArray &data) {
    return QByteArray::fromStdString(hexwriter::Record(
        type, unsigned(offset), reinterpret_cast<const std::uint8_t *>(data.constData()),
        std::size_t(data.size())));
}
inline QByteArray data(int offset, const QByteArray &bytes) {
    return record(0, offset, bytes);
}
inline QByteArray segment(int value) {
    return record(2, 0, QByteArray(1, char(value >> 8)) + char(value & 0xFF));
}
inline QByteArray linear(int value) {
    return record(4, 0, QByteArray(1, char(value >> 8)) + char(value & 0xFF));
}
inline QByteArray eof() {
    return QByteArrayLiteral(":00000001FF");
}

inline QByteArray pattern(int n, int seed = 0) {
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + seed * 13 + 1) & 0xFF);
    return b;
}

inline QByteArray join(const QList<QByteArray> &lines, const char *eol = "\r\n") {
    QByteArray out;
    for (const QByteArray &l : lines)
        out += l + eol;
    return out;
}

// count contiguous records of recordLength bytes from address 0, then the end record.
inline QList<QByteArray> contiguous(int count, int recordLength) {
    QList<QByteArray> lines;
    int segmentValue = 0;
    for (int i = 0; i < count; ++i) {
        const int address = i * recordLength;
        if ((address >> 4) - segmentValue > 0xF000) {
            segmentValue = address >> 4;
            lines << segment(segmentValue);
        }
        lines << data(address - segmentValue * 16, pattern(recordLength, i));
    }
    lines << eof();
    return lines;
}

} // namespace hexfile
