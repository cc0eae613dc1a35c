#include "serial/SerialComm.h"

#include "config/PortNames.h"

#include <QSerialPort>
#include <limits>

#if defined(Q_OS_UNIX)
#include <termios.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <windows.h>
#endif

LineSettings ParseSettings(const QString &settings) {
    LineSettings ls;
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4) return ls;
    bool okBaud = false, okData = false;
    ls.baud = parts[0].trimmed().toInt(&okBaud);
    const QString p = parts[1].trimmed().toLower();
    ls.parity = p.size() == 1 ? p[0].toLatin1() : '?';
    ls.dataBits = parts[2].trimmed().toInt(&okData);
    const QString stop = parts[3].trimmed();
    ls.stopBits = stop == QLatin1String("1") ? 1 : stop == QLatin1String("2") ? 2 : 0;
    ls.valid = okBaud && ls.baud > 0 && okData && ls.dataBits >= 5 && ls.dataBits <= 8 &&
               ls.stopBits != 0 && QByteArrayLiteral("noems").contains(ls.parity);
    return ls;
}

std::chrono::nanoseconds LineTime(qsizetype bytes, const QString &settings) {
    const LineSettings ls = ParseSettings(settings);
    if (!ls.valid) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(std::int64_t(bytes) * ls.bitsPerByte() * 1000000000 / ls.baud);
}

QtSerialComm::QtSerialComm(QString linkDir, QObject *parent)
    : SerialComm(parent), linkDir_(std::move(linkDir)), port_(new QSerialPort(this)) {
    connect(port_, &QSerialPort::readyRead, this, [this] {
        if (RThreshold > 0) emit OnComm();
    });
    connect(port_, &QSerialPort::errorOccurred, this, &QtSerialComm::onError);
}

QtSerialComm::~QtSerialComm() {
    if (port_->isOpen()) port_->close();
}

QString QtSerialComm::deviceName() const {
    return DevicePath.isEmpty() ? ComPortDevice(CommPort, linkDir_) : DevicePath;
}

bool QtSerialComm::setPortOpen(bool open) {
    if (!open) {
        if (port_->isOpen()) port_->close();
        return true;
    }
    if (port_->isOpen()) return true;
    openError_.clear();
    failure_.clear();
    const LineSettings ls = ParseSettings(Settings);
    if (!ls.valid) {
        openError_ = tr("Ungültige Schnittstelleneinstellung \"%1\"").arg(Settings);
        return false;
    }
    port_->setPortName(deviceName());
    port_->setBaudRate(ls.baud);
    port_->setDataBits(QSerialPort::DataBits(ls.dataBits));
    port_->setParity(ls.parity == 'e'   ? QSerialPort::EvenParity
                     : ls.parity == 'o' ? QSerialPort::OddParity
                     : ls.parity == 'm' ? QSerialPort::MarkParity
                     : ls.parity == 's' ? QSerialPort::SpaceParity
                                        : QSerialPort::NoParity);
    port_->setStopBits(ls.stopBits == 2 ? QSerialPort::TwoStop : QSerialPort::OneStop);
    port_->setFlowControl(QSerialPort::NoFlowControl);
    if (!port_->open(QIODevice::ReadWrite)) {
        openError_ = port_->errorString();
        return false;
    }
    if (ls.parity != 'n') checkInputParity();
    return true;
}

// The parity bit is the line's only protection, yet Qt leaves the input check off: a flipped bit
// would turn a refusal into an acceptance.
void QtSerialComm::checkInputParity() {
#if defined(Q_OS_UNIX)
    // INPCK checks it; IGNPAR drops a byte that fails, so the reply comes short and is sent for
    // again.
    const int fd = int(port_->handle());
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return;
    tio.c_iflag |= INPCK | IGNPAR;
    tio.c_iflag &= ~tcflag_t(PARMRK);
    ::tcsetattr(fd, TCSANOW, &tio);
#elif defined(Q_OS_WIN)
    // Windows cannot drop such a byte, only replace it: FF in the status place reads as no
    // reply, so the frame is sent again.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(port_->handle(), &dcb)) return;
    dcb.fParity = TRUE;
    dcb.fErrorChar = TRUE;
    dcb.ErrorChar = char(0xFF);
    ::SetCommState(port_->handle(), &dcb);
#endif
}

bool QtSerialComm::PortOpen() const {
    return port_->isOpen();
}

void QtSerialComm::Output(const QByteArray &bytes) {
    if (port_->isOpen()) port_->write(bytes);
}

int QtSerialComm::InBufferCount() const {
    if (!port_->isOpen()) return 0;
    return int(std::min<qint64>(port_->bytesAvailable(), std::numeric_limits<qint16>::max()));
}

QByteArray QtSerialComm::Input() {
    if (!port_->isOpen()) return {};
    return InputLen > 0 ? port_->read(InputLen) : port_->readAll();
}

QByteArray QtSerialComm::DiscardInput() {
    if (!port_->isOpen()) return {};
    QByteArray dropped = port_->readAll();
    if (!port_->isOpen()) return dropped;
        // Every byte counts, also one the system has not handed over yet: a byte nobody can explain
        // means that replies and frames may be out of step.
#if defined(Q_OS_UNIX)
    char scratch[256];
    for (ssize_t n; (n = ::read(int(port_->handle()), scratch, sizeof scratch)) > 0;)
        dropped.append(scratch, n);
#elif defined(Q_OS_WIN)
    COMSTAT stat{};
    DWORD errors = 0;
    if (::ClearCommError(port_->handle(), &errors, &stat) && stat.cbInQue > 0)
        dropped += port_->read(stat.cbInQue);
    port_->clear(QSerialPort::Input);
#endif
    return dropped;
}

void QtSerialComm::onError() {
    const QSerialPort::SerialPortError e = port_->error();
    if (e == QSerialPort::NoError || e == QSerialPort::TimeoutError || !port_->isOpen()) return;
    // A failed port keeps reporting the same error in a storm; close it on the first one.
    failure_ = port_->errorString();
    port_->close();
    port_->clearError();
    emit Failed(failure_);
}
