#pragma once
// Text for the user or for station software, as UTF-8, at once: a line must not wait in a buffer
// while the run goes on.

#include <QString>
#include <cstdio>

inline void print(FILE *to, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}
