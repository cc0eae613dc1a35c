#include "serial/Socket.h"

#include <QByteArray>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using Clock = std::chrono::steady_clock;

QString systemReason(int error) {
    switch (error) {
    case ECONNREFUSED:
        return QStringLiteral("Verbindung abgelehnt");
    case ECONNRESET:
        return QStringLiteral("Verbindung vom Server zurückgesetzt");
    case ENETUNREACH:
    case EHOSTUNREACH:
        return QStringLiteral("nicht erreichbar");
    case ETIMEDOUT:
        return QStringLiteral("Zeitüberschreitung");
    default:
        return qt_error_string(error);
    }
}
} // namespace

namespace tcp {

Socket Connect(const QString &host, quint16 port, std::chrono::milliseconds within, QString &why) {
    const QString server = QStringLiteral("%1:%2").arg(host).arg(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints,
                      &found) != 0) {
        why = QStringLiteral("der Server %1 ist unbekannt").arg(server);
        return None;
    }
    const auto deadline = Clock::now() + within;
    int error = ETIMEDOUT;
    int connected = -1;
    for (addrinfo *a = found; a && connected < 0; a = a->ai_next) {
        const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) continue;
        int result = ::connect(fd, a->ai_addr, a->ai_addrlen);
        if (result < 0 && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            result = ::poll(&p, 1, int(std::max<qint64>(left.count(), 0))) > 0 ? 0 : -1;
            socklen_t length = sizeof error;
            if (result == 0 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                error != 0)
                result = -1;
            if (result < 0 && Clock::now() >= deadline) error = ETIMEDOUT;
        } else if (result < 0) {
            error = errno;
        }
        if (result == 0)
            connected = fd;
        else
            ::close(fd);
    }
    ::freeaddrinfo(found);
    if (connected < 0) {
        why = error == ETIMEDOUT ? QStringLiteral("der Server %1 antwortet nicht (keine Verbindung "
                                                  "nach %2 s)")
                                       .arg(server)
                                       .arg(within.count() / 1000)
                                 : systemReason(error);
        return None;
    }
    // Frames go out whole and at once, not held back to be joined with the next.
    const int on = 1;
    ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return connected;
}

qsizetype Receive(Socket s, char *buffer, qsizetype size, QString &why) {
    for (;;) {
        const ssize_t n = ::recv(int(s), buffer, size_t(size), MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
        why = systemReason(errno);
        return -2;
    }
}

qsizetype Send(Socket s, const char *bytes, qsizetype size, QString &why) {
    for (;;) {
        // No SIGPIPE for a connection the server closed: it is a lost port, not the end.
        const ssize_t n = ::send(int(s), bytes, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        why = systemReason(errno);
        return -2;
    }
}

bool WaitReadable(Socket s, std::chrono::milliseconds within) {
    pollfd p{int(s), POLLIN, 0};
    return within.count() > 0 && ::poll(&p, 1, int(within.count())) > 0;
}

void AcknowledgeAtOnce(Socket s) {
#if defined(TCP_QUICKACK)
    // A server that holds the rest of a reply until its first bytes are acknowledged (Nagle)
    // would otherwise wait for Linux's delayed acknowledgement, 40 ms a reply. Linux turns it
    // back off by itself: it is asked for after every read.
    const int on = 1;
    ::setsockopt(int(s), IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#else
    Q_UNUSED(s);
#endif
}

void Close(Socket s) {
    if (s != None) ::close(int(s));
}

} // namespace tcp
