#include "serial/NetComm.h"

#include <QSocketNotifier>
#include <QUrl>
#include <chrono>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
constexpr int IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
constexpr int Binary = 0, SuppressGoAhead = 3, ComPortOption = 44;
// RFC 2217: what the client asks; the server answers with the same number plus 100.
constexpr int SetBaud = 1, SetDataSize = 2, SetParity = 3, SetStopSize = 4, SetLineStateMask = 10,
              PurgeData = 12, NotifyLineState = 106;
constexpr int Needed =
    1 << SetBaud | 1 << SetDataSize | 1 << SetParity | 1 << SetStopSize | 1 << PurgeData;

using Clock = std::chrono::steady_clock;

int parityCode(char p) {
    return p == 'o' ? 2 : p == 'e' ? 3 : p == 'm' ? 4 : p == 's' ? 5 : 1;
}

QString parityName(int code) {
    switch (code) {
    case 1:
        return QStringLiteral("keine Parität");
    case 2:
        return QStringLiteral("ungerade Parität");
    case 3:
        return QStringLiteral("gerade Parität");
    default:
        return QStringLiteral("Parität %1").arg(code);
    }
}

#if defined(Q_OS_UNIX)
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
#endif
} // namespace

NetComm::NetComm(QObject *parent) : SerialComm(parent) {}

NetComm::~NetComm() {
    closeSocket();
}

bool NetComm::setPortOpen(bool open) {
    if (!open) {
        closeSocket();
        return true;
    }
    if (fd_ >= 0) return true;
    openError_.clear();
    failure_.clear();
    openProblem_ = OpenProblem::Other;
    holder_ = 0;
    received_.clear();
    unsent_.clear();
    const QUrl url(DevicePath);
    telnet_ = url.scheme() == QLatin1String("rfc2217");
    if ((!telnet_ && url.scheme() != QLatin1String("socket")) || url.host().isEmpty() ||
        url.port() <= 0) {
        openError_ = QStringLiteral("keine Adresse der Form rfc2217://HOST:PORT oder "
                                    "socket://HOST:PORT");
        return false;
    }
    if (!connectTo(url.host(), quint16(url.port())) || (telnet_ && !negotiate())) {
        closeSocket();
        return false;
    }
    readable_ = new QSocketNotifier(qintptr(fd_), QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, [this] {
        const qsizetype before = received_.size();
        if (readNow() && received_.size() > before && RThreshold > 0) emit OnComm();
    });
    writable_ = new QSocketNotifier(qintptr(fd_), QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &NetComm::flush);
    openProblem_ = OpenProblem::None;
    return true;
}

bool NetComm::connectTo(const QString &host, quint16 port) {
#if defined(Q_OS_UNIX)
    const QString server = QStringLiteral("%1:%2").arg(host).arg(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints,
                      &found) != 0) {
        openError_ = QStringLiteral("der Server %1 ist unbekannt").arg(server);
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ConnectTimeoutMs);
    int error = ETIMEDOUT;
    for (addrinfo *a = found; a && fd_ < 0; a = a->ai_next) {
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
        if (result == 0) {
            fd_ = fd;
        } else {
            ::close(fd);
        }
    }
    ::freeaddrinfo(found);
    if (fd_ < 0) {
        openError_ = error == ETIMEDOUT
                         ? QStringLiteral("der Server %1 antwortet nicht (keine Verbindung nach "
                                          "%2 s)")
                               .arg(server)
                               .arg(ConnectTimeoutMs / 1000)
                         : systemReason(error);
        return false;
    }
    // Frames go out whole and at once, not held back to be joined with the next.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return true;
#else
    Q_UNUSED(host);
    Q_UNUSED(port);
    openError_ = QStringLiteral("Netzwerk-Ports gibt es hier nicht");
    return false;
#endif
}

void NetComm::sendSetting(int command, const QByteArray &value) {
    QByteArray sb;
    sb.append(char(IAC)).append(char(SB)).append(char(ComPortOption)).append(char(command));
    for (char c : value) {
        sb.append(c);
        if (quint8(c) == IAC) sb.append(c);
    }
    sb.append(char(IAC)).append(char(SE));
    unsent_ += sb;
}

bool NetComm::negotiate() {
#if defined(Q_OS_UNIX)
    const LineSettings ls = ParseSettings(Settings);
    if (!ls.valid) {
        openError_ = QStringLiteral("Ungültige Schnittstelleneinstellung \"%1\"").arg(Settings);
        return false;
    }
    binaryIn_ = binaryOut_ = false;
    acked_ = 0;
    parse_ = Parse::Data;
    const char hello[] = {char(IAC),    char(WILL), char(Binary), char(IAC),          char(DO),
                          char(Binary), char(IAC),  char(WILL),   char(ComPortOption)};
    unsent_.append(hello, sizeof hello);
    // The settings once, before the start command; never again during the run.
    const quint32 baud = quint32(ls.baud);
    const char baudBytes[] = {char(baud >> 24), char(baud >> 16), char(baud >> 8), char(baud)};
    sendSetting(SetBaud, QByteArray(baudBytes, sizeof baudBytes));
    sendSetting(SetDataSize, QByteArray(1, char(ls.dataBits)));
    sendSetting(SetParity, QByteArray(1, char(parityCode(ls.parity))));
    sendSetting(SetStopSize, QByteArray(1, char(ls.stopBits)));
    sendSetting(SetLineStateMask, QByteArray(1, char(0x0C))); // parity and framing errors
    sendSetting(PurgeData, QByteArray(1, char(3)));           // both directions
    flush();
    const auto deadline = Clock::now() + std::chrono::milliseconds(SettingsTimeoutMs);
    while (fd_ >= 0 && !(binaryIn_ && binaryOut_ && (acked_ & Needed) == Needed)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, int(left.count())) <= 0) break;
        if (!readNow()) {
            openError_ = failure_;
            return false;
        }
        if (!unsent_.isEmpty()) flush();
    }
    const QString server = QUrl(DevicePath).authority();
    if (!(binaryIn_ && binaryOut_ && (acked_ & Needed) == Needed)) {
        openError_ = QStringLiteral("der Server %1 bestätigt die Einstellungen nicht (RFC 2217, "
                                    "%2 s)")
                         .arg(server)
                         .arg(SettingsTimeoutMs / 1000);
        return false;
    }
    // What the server says it took; a server that cannot set the line is refused before
    // anything is sent.
    const QByteArray b = ackValue_[SetBaud];
    const quint32 tookBaud = b.size() == 4
                                 ? quint32(quint8(b[0])) << 24 | quint32(quint8(b[1])) << 16 |
                                       quint32(quint8(b[2])) << 8 | quint8(b[3])
                                 : 0;
    auto first = [this](int command) {
        return ackValue_[command].isEmpty() ? -1 : int(quint8(ackValue_[command][0]));
    };
    QStringList refused;
    if (tookBaud != baud)
        refused << QStringLiteral("%1 Baud (er meldet %2)").arg(baud).arg(tookBaud);
    if (first(SetDataSize) != ls.dataBits)
        refused << QStringLiteral("%1 Datenbits").arg(ls.dataBits);
    if (first(SetParity) != parityCode(ls.parity))
        refused << QStringLiteral("%1 (er meldet %2)")
                       .arg(parityName(parityCode(ls.parity)), parityName(first(SetParity)));
    if (first(SetStopSize) != ls.stopBits)
        refused << QStringLiteral("%1 Stoppbit").arg(ls.stopBits);
    if (!refused.isEmpty()) {
        openError_ = QStringLiteral("der Server %1 stellt die Leitung nicht ein: %2")
                         .arg(server, refused.join(QStringLiteral(", ")));
        return false;
    }
    return true;
#else
    return false;
#endif
}

bool NetComm::readNow() {
#if defined(Q_OS_UNIX)
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            take(buffer, n);
            continue;
        }
        if (n == 0) {
            fail(QStringLiteral("Verbindung vom Server getrennt"));
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        fail(systemReason(errno));
        return false;
    }
#if defined(TCP_QUICKACK)
    // Acknowledged at once: a server that holds the rest of a reply until its first bytes are
    // acknowledged (Nagle) would otherwise wait for our delayed acknowledgement, 40 ms a reply.
    const int on = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
#endif
    return true;
}

void NetComm::take(const char *bytes, qsizetype n) {
    if (!telnet_) {
        received_.append(bytes, n);
        return;
    }
    for (qsizetype i = 0; i < n; ++i) {
        const int b = quint8(bytes[i]);
        switch (parse_) {
        case Parse::Data:
            if (b == IAC)
                parse_ = Parse::Iac;
            else
                received_.append(char(b));
            break;
        case Parse::Iac:
            parse_ = Parse::Data;
            if (b == IAC) {
                received_.append(char(b));
            } else if (b >= WILL && b <= DONT) {
                verb_ = b;
                parse_ = Parse::Verb;
            } else if (b == SB) {
                sub_.clear();
                parse_ = Parse::Sub;
            }
            break;
        case Parse::Verb:
            option(verb_, b);
            parse_ = Parse::Data;
            break;
        case Parse::Sub:
            if (b == IAC)
                parse_ = Parse::SubIac;
            else
                sub_.append(char(b));
            break;
        case Parse::SubIac:
            if (b == SE) {
                subnegotiation(sub_);
                parse_ = Parse::Data;
            } else {
                sub_.append(char(b)); // IAC IAC stands for FF
                parse_ = Parse::Sub;
            }
            break;
        }
    }
}

// Binary both ways, Suppress Go Ahead and the com port option are agreed; nothing else.
void NetComm::option(int verb, int opt) {
    const bool wanted = opt == Binary || opt == SuppressGoAhead || opt == ComPortOption;
    auto answer = [this](int v, int o) {
        unsent_.append(char(IAC)).append(char(v)).append(char(o));
    };
    switch (verb) {
    case WILL:
        if (opt == Binary)
            binaryIn_ = true; // asked for by our DO
        else if (opt == SuppressGoAhead)
            answer(DO, opt);
        else if (!wanted)
            answer(DONT, opt);
        break;
    case WONT:
        if (opt == Binary) binaryIn_ = false;
        break;
    case DO:
        if (opt == Binary)
            binaryOut_ = true; // offered by our WILL
        else if (opt == SuppressGoAhead)
            answer(WILL, opt);
        else if (!wanted)
            answer(WONT, opt);
        break;
    case DONT:
        if (opt == Binary) binaryOut_ = false;
        break;
    }
    flush();
}

void NetComm::subnegotiation(const QByteArray &sb) {
    if (sb.size() < 2 || quint8(sb[0]) != ComPortOption) return;
    const int command = quint8(sb[1]);
    const QByteArray value = sb.mid(2);
    if (command == NotifyLineState) {
        // A byte received with a parity or framing error is dropped, as the serial port drops
        // it: the server reports the error right behind the byte it concerns.
        if (!value.isEmpty() && (quint8(value[0]) & 0x0C) && !received_.isEmpty())
            received_.chop(1);
        return;
    }
    if (command > 100 && command <= 100 + PurgeData) {
        ackValue_[command - 100] = value;
        acked_ |= 1 << (command - 100);
    }
    // What came before the purge belongs to no frame of this run.
    if (command == 100 + PurgeData) received_.clear();
}

void NetComm::Output(const QByteArray &bytes) {
    if (fd_ < 0) return;
    if (!telnet_) {
        unsent_ += bytes;
    } else {
        // FF is doubled, so that the start frame's FF is not read as a Telnet command.
        for (char c : bytes) {
            unsent_.append(c);
            if (quint8(c) == IAC) unsent_.append(c);
        }
    }
    flush();
}

void NetComm::flush() {
#if defined(Q_OS_UNIX)
    while (fd_ >= 0 && !unsent_.isEmpty()) {
        const ssize_t n =
            ::send(fd_, unsent_.constData(), size_t(unsent_.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            unsent_.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            fail(systemReason(errno));
            return;
        }
    }
    if (writable_) writable_->setEnabled(fd_ >= 0 && !unsent_.isEmpty());
#endif
}

QByteArray NetComm::Input() {
    if (InputLen <= 0 || InputLen >= received_.size()) return std::exchange(received_, {});
    const QByteArray part = received_.left(InputLen);
    received_.remove(0, InputLen);
    return part;
}

QByteArray NetComm::DiscardInput() {
    if (fd_ >= 0) readNow();
    return std::exchange(received_, {});
}

// A connection lost is a port lost: closed, and the reason kept.
void NetComm::fail(const QString &reason) {
    if (fd_ < 0) return;
    closeSocket();
    failure_ = reason;
    emit Failed(reason);
}

void NetComm::closeSocket() {
    delete readable_;
    readable_ = nullptr;
    delete writable_;
    writable_ = nullptr;
#if defined(Q_OS_UNIX)
    if (fd_ >= 0) ::close(fd_);
#endif
    fd_ = -1;
}
