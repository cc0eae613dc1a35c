#pragma once
// Intel HEX lines with correct checksums, and a plain reading of what an image puts where.

#include "simulator/HexWriter.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <map>

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

// count contiguous records of recordLength bytes from address 0 (up to 64 KiB), then the end.
inline QList<QByteArray> contiguous(int count, int recordLength) {
    QList<QByteArray> lines;
    for (int i = 0; i < count; ++i)
        lines << data(i * recordLength, pattern(recordLength, i));
    return lines << eof();
}

using Memory = std::map<std::uint32_t, std::uint8_t>;

// The lines as an image file in `dir`, CR LF after each; returns its path.
inline QString WriteImage(const QString &dir, const QList<QByteArray> &lines,
                          const QString &name = QStringLiteral("fw.a35")) {
    const QString path = dir + QLatin1Char('/') + name;
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(lines.join("\r\n") + "\r\n");
    return path;
}

// The data bytes of a well-formed image at their addresses (02 and 04 records set the base; every
// line is read, also behind the end record), as an instrument should hold them.
inline Memory ImageBytes(const QList<QByteArray> &lines) {
    Memory mem;
    std::uint32_t base = 0;
    for (QByteArray line : lines) {
        line = line.trimmed();
        if (!line.startsWith(':')) continue;
        const QByteArray b = QByteArray::fromHex(line.mid(1));
        if (b.size() < 5) continue;
        const int type = quint8(b[3]), n = quint8(b[0]);
        const std::uint32_t offset = quint8(b[1]) << 8 | quint8(b[2]);
        const std::uint32_t value = n == 2 ? std::uint32_t(quint8(b[4]) << 8 | quint8(b[5])) : 0;
        if (type == 0)
            for (int i = 0; i < n; ++i)
                mem[base + offset + std::uint32_t(i)] = quint8(b[4 + i]);
        if (type == 2) base = value << 4;
        if (type == 4) base = value << 16;
    }
    return mem;
}

} // namespace hexfile
