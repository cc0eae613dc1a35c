#include "serial/NetComm.h"

#include "serial/Socket.h"

#include <QSocketNotifier>
#include <QUrl>
#include <chrono>

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
    if (fd_ != tcp::None) return true;
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
    readable_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(readable_, &QSocketNotifier::activated, this, [this] {
        const qsizetype before = received_.size();
        if (readNow() && received_.size() > before && RThreshold > 0) emit OnComm();
    });
    writable_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
    writable_->setEnabled(false);
    connect(writable_, &QSocketNotifier::activated, this, &NetComm::flush);
    openProblem_ = OpenProblem::None;
    return true;
}

bool NetComm::connectTo(const QString &host, quint16 port) {
    fd_ = tcp::Connect(host, port, std::chrono::milliseconds(ConnectTimeoutMs), openError_);
    return fd_ != tcp::None;
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
    while (fd_ != tcp::None && !(binaryIn_ && binaryOut_ && (acked_ & Needed) == Needed)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (!tcp::WaitReadable(fd_, left)) break;
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
}

bool NetComm::readNow() {
    char buffer[4096];
    QString why;
    for (;;) {
        const qsizetype n = tcp::Receive(fd_, buffer, sizeof buffer, why);
        if (n > 0) {
            take(buffer, n);
            continue;
        }
        if (n == 0) {
            fail(QStringLiteral("Verbindung vom Server getrennt"));
            return false;
        }
        if (n == -1) break;
        fail(why);
        return false;
    }
    // Acknowledged at once: a server that holds the rest of a reply until its first bytes are
    // acknowledged (Nagle) would otherwise wait for our delayed acknowledgement.
    tcp::AcknowledgeAtOnce(fd_);
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
    if (fd_ == tcp::None) return;
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
    QString why;
    while (fd_ != tcp::None && !unsent_.isEmpty()) {
        const qsizetype n = tcp::Send(fd_, unsent_.constData(), unsent_.size(), why);
        if (n < 0) {
            fail(why);
            return;
        }
        if (n == 0) break; // the rest when the connection takes it
        unsent_.remove(0, n);
    }
    if (writable_) writable_->setEnabled(fd_ != tcp::None && !unsent_.isEmpty());
}

QByteArray NetComm::Input() {
    if (InputLen <= 0 || InputLen >= received_.size()) return std::exchange(received_, {});
    const QByteArray part = received_.left(InputLen);
    received_.remove(0, InputLen);
    return part;
}

QByteArray NetComm::DiscardInput() {
    if (fd_ != tcp::None) readNow();
    return std::exchange(received_, {});
}

// A connection lost is a port lost: closed, and the reason kept.
void NetComm::fail(const QString &reason) {
    if (fd_ == tcp::None) return;
    closeSocket();
    failure_ = reason;
    emit Failed(reason);
}

void NetComm::closeSocket() {
    delete readable_;
    readable_ = nullptr;
    delete writable_;
    writable_ = nullptr;
    tcp::Close(fd_);
    fd_ = tcp::None;
}
