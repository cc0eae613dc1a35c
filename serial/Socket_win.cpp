#include "serial/Socket.h"

#include <QByteArray>
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
// clang-format on

namespace {
using Clock = std::chrono::steady_clock;

// Winsock is started once, for the life of the process.
bool started() {
    static const bool ok = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ok;
}

QString systemReason(int error) {
    switch (error) {
    case WSAECONNREFUSED:
        return QStringLiteral("Verbindung abgelehnt");
    case WSAECONNRESET:
    case WSAECONNABORTED:
        return QStringLiteral("Verbindung vom Server zurückgesetzt");
    case WSAENETUNREACH:
    case WSAEHOSTUNREACH:
        return QStringLiteral("nicht erreichbar");
    case WSAETIMEDOUT:
        return QStringLiteral("Zeitüberschreitung");
    default:
        return qt_error_string(error);
    }
}
} // namespace

namespace tcp {

Socket Connect(const QString &host, quint16 port, std::chrono::milliseconds within, QString &why) {
    const QString server = QStringLiteral("%1:%2").arg(host).arg(port);
    if (!started()) {
        why = systemReason(::WSAGetLastError());
        return None;
    }
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
    int error = WSAETIMEDOUT;
    SOCKET connected = INVALID_SOCKET;
    for (addrinfo *a = found; a && connected == INVALID_SOCKET; a = a->ai_next) {
        const SOCKET s = ::socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        u_long nonBlocking = 1;
        ::ioctlsocket(s, FIONBIO, &nonBlocking);
        int result = ::connect(s, a->ai_addr, int(a->ai_addrlen));
        if (result != 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable, failed;
            FD_ZERO(&writable);
            FD_ZERO(&failed);
            FD_SET(s, &writable);
            FD_SET(s, &failed);
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            const long ms = long(std::max<qint64>(left.count(), 0));
            timeval tv{ms / 1000, (ms % 1000) * 1000};
            result = ::select(0, nullptr, &writable, &failed, &tv) > 0 && FD_ISSET(s, &writable)
                         ? 0
                         : -1;
            int length = sizeof error;
            if (result != 0 && FD_ISSET(s, &failed))
                ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &length);
            if (result != 0 && Clock::now() >= deadline) error = WSAETIMEDOUT;
        } else if (result != 0) {
            error = ::WSAGetLastError();
        }
        if (result == 0)
            connected = s;
        else
            ::closesocket(s);
    }
    ::freeaddrinfo(found);
    if (connected == INVALID_SOCKET) {
        why = error == WSAETIMEDOUT ? QStringLiteral("der Server %1 antwortet nicht (keine "
                                                     "Verbindung nach %2 s)")
                                          .arg(server)
                                          .arg(within.count() / 1000)
                                    : systemReason(error);
        return None;
    }
    // Frames go out whole and at once, not held back to be joined with the next.
    const BOOL on = TRUE;
    ::setsockopt(connected, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&on),
                 sizeof on);
    AcknowledgeAtOnce(Socket(connected));
    return Socket(connected);
}

qsizetype Receive(Socket s, char *buffer, qsizetype size, QString &why) {
    const int n = ::recv(SOCKET(s), buffer, int(size), 0);
    if (n >= 0) return n;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return -1;
    why = systemReason(error);
    return -2;
}

qsizetype Send(Socket s, const char *bytes, qsizetype size, QString &why) {
    // Windows raises no signal for a connection the server closed: the send fails, and that is
    // a lost port.
    const int n = ::send(SOCKET(s), bytes, int(size), 0);
    if (n >= 0) return n;
    const int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK) return 0;
    why = systemReason(error);
    return -2;
}

bool WaitReadable(Socket s, std::chrono::milliseconds within) {
    if (within.count() <= 0) return false;
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(SOCKET(s), &readable);
    timeval tv{long(within.count() / 1000), long(within.count() % 1000) * 1000};
    return ::select(0, &readable, nullptr, nullptr, &tv) > 0;
}

void AcknowledgeAtOnce(Socket s) {
    // Windows delays an acknowledgement up to 200 ms, until a second segment comes, unless told
    // to acknowledge every one (Windows 10 and later, once for the connection; elsewhere only the
    // registry's TcpAckFrequency, for the whole machine, can). A server that holds the rest of a
    // reply until its first bytes are acknowledged (Nagle) would otherwise wait that long.
    DWORD frequency = 1, returned = 0;
    ::WSAIoctl(SOCKET(s), SIO_TCP_SET_ACK_FREQUENCY, &frequency, sizeof frequency, nullptr, 0,
               &returned, nullptr, nullptr);
}

void Close(Socket s) {
    if (s != None) ::closesocket(SOCKET(s));
}

} // namespace tcp
