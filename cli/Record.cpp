#include "cli/Record.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>

#if defined(Q_OS_UNIX)
#include <fcntl.h>
#include <unistd.h>
#endif

QString TimeStamp() {
    QDateTime now = QDateTime::currentDateTime();
    now.setOffsetFromUtc(now.offsetFromUtc()); // so that the zone is written out
    return now.toString(Qt::ISODateWithMs);
}

bool AppendRecord(const QString &path, const QJsonObject &record) {
    const QByteArray line = QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n';
#if defined(Q_OS_UNIX)
    // O_APPEND and a single write: records of processes writing at once stay whole.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
    return ::close(fd) == 0 && written;
#else
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Append) && f.write(line) == line.size();
#endif
}
