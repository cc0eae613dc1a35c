#include "serial/SerialComm.h"

#include "config/PortNames.h"

#include <QSerialPort>
#include <limits>

#include <QFile>
#include <QFileInfo>

#if defined(Q_OS_UNIX)
#include <cerrno>
#include <csignal>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(Q_OS_LINUX)
#include <linux/serial.h>
#endif
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

QtSerialComm::QtSerialComm(QStringList linkDirs, QObject *parent)
    : SerialComm(parent), linkDirs_(std::move(linkDirs)), port_(new QSerialPort(this)) {
    connect(port_, &QSerialPort::readyRead, this, [this] {
        if (RThreshold > 0) emit OnComm();
    });
    connect(port_, &QSerialPort::errorOccurred, this, &QtSerialComm::onError);
}

QtSerialComm::~QtSerialComm() {
    closePort();
}

QString QtSerialComm::deviceName() const {
    return DevicePath.isEmpty() ? ComPortDevice(CommPort, linkDirs_) : DevicePath;
}

namespace {
#if defined(Q_OS_UNIX)
// The lock file Qt's serial port keeps for a device, where other programs look for it too
// (LCK..ttyUSB0 in /var/lock or the first lock directory there is).
QString lockFilePath(const QString &device) {
    QString name = device.startsWith(QLatin1String("/dev/")) ? device.mid(5) : device;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *dir : {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                            "/tmp", "/var/tmp", "/var/lock/lockdev", "/run/lock"}) {
        const QString path = QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name;
        const QFileInfo d(QString::fromLatin1(dir));
        if (d.isReadable() && (QFile::exists(path) || d.isWritable())) return path;
    }
    return {};
}

// The live process a lock file names; 0 when there is none.
qint64 lockHolder(const QString &device) {
    QFile f(lockFilePath(device));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    const qint64 pid = f.readLine().trimmed().toLongLong();
    return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM) ? pid : 0;
}
#endif
} // namespace

bool QtSerialComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return true;
    }
    if (port_->isOpen()) return true;
    openError_.clear();
    failure_.clear();
    openProblem_ = OpenProblem::None;
    holder_ = 0;
    const LineSettings ls = ParseSettings(Settings);
    if (!ls.valid) {
        openError_ = tr("Ungültige Schnittstelleneinstellung \"%1\"").arg(Settings);
        return false;
    }
    // The device itself, every link followed: its lock file is named after it, whatever name it
    // was given, so that no second flasher opens it under another.
    const QFileInfo device(deviceName());
    const QString real = device.exists() ? device.canonicalFilePath() : deviceName();
    port_->setPortName(real);
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
        openProblem_ = OpenProblem::Other;
        if (port_->error() == QSerialPort::PermissionError) {
#if defined(Q_OS_UNIX)
            // Qt says the same for a lock held by another and for a device this user may not
            // open: the device's own access rights tell them apart.
            const bool mayOpen = ::access(QFile::encodeName(real).constData(), R_OK | W_OK) == 0;
            openProblem_ = mayOpen ? OpenProblem::Busy : OpenProblem::Permission;
            if (mayOpen) holder_ = lockHolder(real);
#else
            openProblem_ = OpenProblem::Busy;
#endif
        }
        return false;
    }
    if (!lockDevice()) {
        port_->close();
        openProblem_ = OpenProblem::Busy;
        openError_ = tr("wird bereits benutzt");
        return false;
    }
    if (ls.parity != 'n') checkInputParity();
    lowerLatency();
    return true;
}

void QtSerialComm::lowerLatency() {
#if defined(Q_OS_LINUX)
    // A USB adapter's driver (FTDI's among them) holds received bytes for its latency timer, 16 ms
    // by default, so every 5-byte reply would wait for it. ASYNC_LOW_LATENCY lowers the timer to
    // 1 ms where the driver takes it, without root; a driver or pseudo-terminal that refuses it
    // changes nothing.
    serial_struct s{};
    const int fd = int(port_->handle());
    if (::ioctl(fd, TIOCGSERIAL, &s) != 0 || (s.flags & ASYNC_LOW_LATENCY)) return;
    const int before = s.flags;
    s.flags |= ASYNC_LOW_LATENCY;
    if (::ioctl(fd, TIOCSSERIAL, &s) == 0) flagsBefore_ = before;
#endif
}

bool QtSerialComm::lockDevice() {
#if defined(Q_OS_UNIX)
    // flock on the open device: root passes TIOCEXCL, but not this.
    return ::flock(int(port_->handle()), LOCK_EX | LOCK_NB) == 0;
#else
    return true; // Windows opens a COM port for one process only
#endif
}

void QtSerialComm::closePort() {
#if defined(Q_OS_LINUX)
    serial_struct s{};
    if (port_->isOpen() && flagsBefore_ >= 0 &&
        ::ioctl(int(port_->handle()), TIOCGSERIAL, &s) == 0) {
        s.flags = (s.flags & ~ASYNC_LOW_LATENCY) | (flagsBefore_ & ASYNC_LOW_LATENCY);
        ::ioctl(int(port_->handle()), TIOCSSERIAL, &s);
    }
#endif
    flagsBefore_ = -1;
    if (port_->isOpen()) port_->close(); // the lock goes with the descriptor
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
    flagsBefore_ = -1; // the device is gone with its flags
    port_->close();
    port_->clearError();
    emit Failed(failure_);
}
