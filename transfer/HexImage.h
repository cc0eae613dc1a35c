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

// One data record as a run decodes it: where its bytes go, the bytes, their sum, and the line
// (from 1) it stands on. A blank line is an empty record at the base address.
struct ImageRecord {
    std::int64_t address;
    QByteArray data;
    long sum;
    int line;
};

// An image read line by line, checked and decoded in the same pass: its data records in file
// order, and, where it cannot be programmed, why (one German sentence naming the line). Every
// line is decoded also behind a fault, as a lenient reader would, so that the records of a
// damaged image can still be looked at; a run sends none of them.
struct ParsedImage {
    QString problem;
    QList<ImageRecord> records;
    int recordLines = 0; // lines that hold a record (":")
};
ParsedImage ParseImage(const QList<QByteArray> &lines);

// Empty when the image can be programmed; otherwise one German sentence naming the line.
inline QString CheckImage(const QList<QByteArray> &lines) {
    return ParseImage(lines).problem;
}
