#pragma once
// The image as q7310flash reads it: once, from a file, a pipe or standard input ("-"). The bytes
// read are the ones checked, hashed, sent and recorded.

#include <QByteArray>
#include <QList>
#include <QString>

struct ImageInput {
    QString name;             // as given
    QByteArray bytes;         // what was read
    QString problem;          // why it could not be read; empty when it was
    bool interrupted = false; // a stop signal ended the wait for a writer

    QList<QByteArray> lines() const;
    QString sha256() const;
};

// A regular file or a pipe (a FIFO, standard input); anything else is refused. A FIFO that has
// no writer yet is waited for, without end, but a stop signal ends the wait.
ImageInput ReadImageInput(const QString &path);
