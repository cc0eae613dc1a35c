#include "serial/QtSerialComm.h"

#include "config/PortNames.h"

#include <QFile>
#include <QFileInfo>
#include <QSerialPort>
#include <cerrno>
#include <csignal>
#include <limits>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(Q_OS_LINUX)
#include <linux/serial.h>
#endif

std::unique_ptr<SerialComm> MakeSerialPort(QStringList linkDirs, QObject *parent) {
    return std::make_unique<QtSerialComm>(std::move(linkDirs), parent);
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
        openProblem_ = port_->error() == QSerialPort::DeviceNotFoundError ? OpenProblem::Missing
                                                                           : OpenProblem::Other;
        if (port_->error() == QSerialPort::PermissionError) {
            // Qt says the same for a lock held by another and for a device this user may not
            // open: the device's own access rights tell them apart.
            const bool mayOpen = ::access(QFile::encodeName(real).constData(), R_OK | W_OK) == 0;
            openProblem_ = mayOpen ? OpenProblem::Busy : OpenProblem::Permission;
            if (mayOpen) holder_ = lockHolder(real);
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
    // flock on the open device: root passes TIOCEXCL, but not this.
    return ::flock(int(port_->handle()), LOCK_EX | LOCK_NB) == 0;
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
    // INPCK checks it; IGNPAR drops a byte that fails, so the reply comes short and is sent for
    // again.
    const int fd = int(port_->handle());
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return;
    tio.c_iflag |= INPCK | IGNPAR;
    tio.c_iflag &= ~tcflag_t(PARMRK);
    ::tcsetattr(fd, TCSANOW, &tio);
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
    char scratch[256];
    for (ssize_t n; (n = ::read(int(port_->handle()), scratch, sizeof scratch)) > 0;)
        dropped.append(scratch, n);
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
