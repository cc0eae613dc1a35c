#include "cli/ImageInput.h"

#include "cli/Signals.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

ImageInput ReadImageInput(const QString &path) {
    ImageInput in;
    in.name = path;
    const bool stdIn = path == QLatin1String("-");
    // Not blocking: the open of a FIFO would wait for a writer, beyond the reach of a signal.
    const int fd =
        stdIn ? 0 : ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        in.problem = qt_error_string(errno);
        return in;
    }
    struct stat st {};
    ::fstat(fd, &st);
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        in.problem = QStringLiteral("keine Datei und keine Pipe");
    } else {
        const int flags = ::fcntl(fd, F_GETFL);
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0) {
                in.bytes.append(buffer, n);
                continue;
            }
            // A FIFO that never had a writer reads as empty; it is the end only once one came.
            const bool waiting = n < 0 && (errno == EAGAIN || errno == EINTR);
            if (n == 0 && !S_ISFIFO(st.st_mode)) break;
            if (n < 0 && !waiting) {
                in.problem = qt_error_string(errno);
                break;
            }
            pollfd p{fd, POLLIN, 0};
            const int ready = ::poll(&p, 1, 100);
            if (StopSignalled()) {
                in.interrupted = true;
                break;
            }
            if (n == 0 && ready > 0 && (p.revents & POLLHUP) && !(p.revents & POLLIN)) break;
        }
        ::fcntl(fd, F_SETFL, flags);
    }
    if (!stdIn) ::close(fd);
    return in;
}
