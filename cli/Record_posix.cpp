#include "cli/Record.h"

#include <QFile>
#include <fcntl.h>
#include <unistd.h>

bool AppendLine(const QString &path, const QByteArray &line) {
    // O_APPEND and a single write: records of processes writing at once stay whole.
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
    return ::close(fd) == 0 && written;
}
