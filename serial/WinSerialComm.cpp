#include "serial/WinSerialComm.h"

#include "config/PortNames.h"

#include <QWinEventNotifier>
#include <limits>
#include <windows.h>

std::unique_ptr<SerialComm> MakeSerialPort(QStringList linkDirs, QObject *parent) {
    return std::make_unique<WinSerialComm>(std::move(linkDirs), parent);
}

struct WinSerialComm::Io {
    HANDLE port = INVALID_HANDLE_VALUE;
    OVERLAPPED wait{}, write{};
    DWORD mask = 0;
    bool waiting = false, writing = false;
    QByteArray writeBuffer; // kept alive while the driver writes from it
    QWinEventNotifier *waitNotifier = nullptr, *writeNotifier = nullptr;

    Io() {
        wait.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Io() {
        ::CloseHandle(wait.hEvent);
        ::CloseHandle(write.hEvent);
    }
};

namespace {
// "\\.\COM12": the form that reaches COM10 and above too.
std::wstring devicePath(const QString &name) {
    const QString path = name.startsWith(QLatin1String("\\\\.\\")) ? name : "\\\\.\\" + name;
    return path.toStdWString();
}

BYTE parityOf(char p) {
    return p == 'e'   ? EVENPARITY
           : p == 'o' ? ODDPARITY
           : p == 'm' ? MARKPARITY
           : p == 's' ? SPACEPARITY
                      : NOPARITY;
}
} // namespace

WinSerialComm::WinSerialComm(QStringList linkDirs, QObject *parent)
    : SerialComm(parent), linkDirs_(std::move(linkDirs)) {}

WinSerialComm::~WinSerialComm() {
    closePort();
}

QString WinSerialComm::deviceName() const {
    return DevicePath.isEmpty() ? ComPortDevice(CommPort, linkDirs_) : DevicePath;
}

bool WinSerialComm::PortOpen() const {
    return io_ != nullptr;
}

bool WinSerialComm::setPortOpen(bool open) {
    if (!open) {
        closePort();
        return true;
    }
    if (io_) return true;
    openError_.clear();
    failure_.clear();
    openProblem_ = OpenProblem::None;
    holder_ = 0;
    const LineSettings ls = ParseSettings(Settings);
    if (!ls.valid) {
        openError_ = tr("Ungültige Schnittstelleneinstellung \"%1\"").arg(Settings);
        return false;
    }
    // Shared with nobody: a port another program holds cannot be opened, and none can open this
    // one while it is held here.
    HANDLE port = ::CreateFileW(devicePath(deviceName()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        openError_ = qt_error_string(int(error));
        openProblem_ = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                           ? OpenProblem::Busy
                           : OpenProblem::Other;
        if (openProblem_ == OpenProblem::Busy) openError_ = tr("wird bereits benutzt");
        return false;
    }
    io_ = std::make_unique<Io>();
    io_->port = port;
    if (!configure(ls)) {
        closePort();
        openProblem_ = OpenProblem::Other;
        return false;
    }
    received_.clear();
    unsent_.clear();
    io_->waitNotifier = new QWinEventNotifier(io_->wait.hEvent, this);
    connect(io_->waitNotifier, &QWinEventNotifier::activated, this, &WinSerialComm::eventCame);
    io_->writeNotifier = new QWinEventNotifier(io_->write.hEvent, this);
    connect(io_->writeNotifier, &QWinEventNotifier::activated, this, &WinSerialComm::written);
    awaitEvent();
    return io_ != nullptr;
}

bool WinSerialComm::configure(const LineSettings &ls) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(io_->port, &dcb)) {
        openError_ = qt_error_string(int(::GetLastError()));
        return false;
    }
    dcb.BaudRate = DWORD(ls.baud);
    dcb.ByteSize = BYTE(ls.dataBits);
    dcb.Parity = parityOf(ls.parity);
    dcb.StopBits = ls.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fBinary = TRUE;
    // The parity bit is the line's only protection. Windows cannot drop a byte that fails, only
    // replace it: FF in the status place reads as no reply, so the frame is sent again.
    dcb.fParity = ls.parity != 'n';
    dcb.fErrorChar = dcb.fParity;
    dcb.ErrorChar = char(0xFF);
    // No handshake: the lines are held as the driver holds an open port.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(io_->port, &dcb)) {
        openError_ = tr("die Schnittstelle nimmt %1 nicht an: %2")
                         .arg(Settings, qt_error_string(int(::GetLastError())));
        return false;
    }
    // A read returns at once with what the driver holds; received bytes are waited for by the
    // event, never by a read.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    if (!::SetCommTimeouts(io_->port, &timeouts) ||
        !::SetCommMask(io_->port, EV_RXCHAR | EV_ERR)) {
        openError_ = qt_error_string(int(::GetLastError()));
        return false;
    }
    // What an earlier user left in the driver belongs to no frame of this run. A driver that
    // cannot purge has nothing to purge that matters more than the run.
    ::PurgeComm(io_->port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

void WinSerialComm::awaitEvent() {
    if (!io_) return;
    ::ResetEvent(io_->wait.hEvent);
    io_->mask = 0;
    io_->waiting = true;
    if (!::WaitCommEvent(io_->port, &io_->mask, &io_->wait) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        io_->waiting = false;
        fail(::GetLastError());
    }
    // Done at once or later, the event is set and its notifier reports it.
}

void WinSerialComm::eventCame() {
    if (!io_) return;
    if (!io_->waiting) {
        ::ResetEvent(io_->wait.hEvent); // reported once
        return;
    }
    DWORD unused = 0;
    if (!::GetOverlappedResult(io_->port, &io_->wait, &unused, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return;
        io_->waiting = false;
        fail(error);
        return;
    }
    io_->waiting = false;
    const qsizetype before = received_.size();
    if (!takeWaiting()) return;
    awaitEvent();
    if (received_.size() > before && RThreshold > 0) emit OnComm();
}

bool WinSerialComm::takeWaiting() {
    DWORD errors = 0;
    COMSTAT status{};
    if (!::ClearCommError(io_->port, &errors, &status)) {
        fail(::GetLastError());
        return false;
    }
    if (status.cbInQue == 0) return true;
    QByteArray bytes(qsizetype(status.cbInQue), Qt::Uninitialized);
    OVERLAPPED read{};
    read.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD got = 0;
    bool ok = ::ReadFile(io_->port, bytes.data(), status.cbInQue, &got, &read);
    if (!ok && ::GetLastError() == ERROR_IO_PENDING)
        ok = ::GetOverlappedResult(io_->port, &read, &got, TRUE); // what is there: at once
    const DWORD error = ok ? 0 : ::GetLastError();
    ::CloseHandle(read.hEvent);
    if (!ok) {
        fail(error);
        return false;
    }
    received_.append(bytes.constData(), qsizetype(got));
    return true;
}

void WinSerialComm::Output(const QByteArray &bytes) {
    if (!io_) return;
    unsent_ += bytes;
    if (!io_->writing) writeNext();
}

void WinSerialComm::writeNext() {
    if (!io_ || unsent_.isEmpty()) return;
    io_->writeBuffer = std::exchange(unsent_, {});
    ::ResetEvent(io_->write.hEvent);
    io_->writing = true;
    if (!::WriteFile(io_->port, io_->writeBuffer.constData(), DWORD(io_->writeBuffer.size()),
                     nullptr, &io_->write) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        io_->writing = false;
        fail(::GetLastError());
    }
}

void WinSerialComm::written() {
    if (!io_) return;
    if (!io_->writing) {
        ::ResetEvent(io_->write.hEvent); // reported once
        return;
    }
    DWORD sent = 0;
    if (!::GetOverlappedResult(io_->port, &io_->write, &sent, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return;
        io_->writing = false;
        fail(error);
        return;
    }
    io_->writing = false;
    ::ResetEvent(io_->write.hEvent);
    writeNext();
}

int WinSerialComm::InBufferCount() const {
    return int(std::min<qsizetype>(received_.size(), std::numeric_limits<qint16>::max()));
}

QByteArray WinSerialComm::Input() {
    if (InputLen <= 0 || InputLen >= received_.size()) return std::exchange(received_, {});
    const QByteArray part = received_.left(InputLen);
    received_.remove(0, InputLen);
    return part;
}

QByteArray WinSerialComm::DiscardInput() {
    // Every byte counts, also one the driver has not reported yet: a byte nobody can explain
    // means that replies and frames may be out of step.
    if (io_) takeWaiting();
    return std::exchange(received_, {});
}

void WinSerialComm::fail(unsigned long error) {
    if (!io_) return;
    failure_ = qt_error_string(int(error));
    closePort();
    emit Failed(failure_);
}

void WinSerialComm::closePort() {
    if (!io_) return;
    // The driver may still write into what the overlapped operations point at: they are
    // cancelled and waited for before anything is freed.
    ::CancelIo(io_->port);
    DWORD unused = 0;
    if (io_->waiting) ::GetOverlappedResult(io_->port, &io_->wait, &unused, TRUE);
    if (io_->writing) ::GetOverlappedResult(io_->port, &io_->write, &unused, TRUE);
    delete io_->waitNotifier;
    delete io_->writeNotifier;
    ::CloseHandle(io_->port);
    io_.reset();
}
