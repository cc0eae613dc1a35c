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
    OVERLAPPED read{}, write{};
    bool reading = false, writing = false;
    char readBuffer[4096];
    QByteArray writeBuffer; // kept alive while the driver writes from it
    QWinEventNotifier *readNotifier = nullptr, *writeNotifier = nullptr;

    Io() {
        read.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Io() {
        ::CloseHandle(read.hEvent);
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
    releaseLock();
}

bool WinSerialComm::takeLock() {
    // One lock a device, whatever the case or prefix it was named with.
    QString id = deviceName().toUpper();
    if (id.startsWith(QLatin1String("\\\\.\\"))) id = id.mid(4);
    // Seen by every session where this user may make it so, else by this session's programs.
    for (const char *space : {"Global\\", "Local\\"}) {
        const std::wstring name =
            QString(QLatin1String(space) + QStringLiteral("Q7310Flasher.Port.") + id)
                .toStdWString();
        HANDLE h = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        sizeof(DWORD), name.c_str());
        const DWORD error = ::GetLastError();
        if (!h && error == ERROR_ACCESS_DENIED) continue;
        if (!h) return true; // no lock to be had: the driver's own exclusion is all there is
        auto *pid = static_cast<DWORD *>(::MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(DWORD)));
        if (error == ERROR_ALREADY_EXISTS) {
            holder_ = pid ? qint64(*pid) : 0;
            if (pid) ::UnmapViewOfFile(pid);
            ::CloseHandle(h);
            return false;
        }
        if (pid) {
            *pid = ::GetCurrentProcessId();
            ::UnmapViewOfFile(pid);
        }
        lock_ = h;
        return true;
    }
    return true;
}

void WinSerialComm::releaseLock() {
    if (lock_) ::CloseHandle(HANDLE(lock_));
    lock_ = nullptr;
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
        releaseLock();
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
    // Before anything else, so that nothing is sent by a second run, whatever the driver does.
    if (!lock_ && !takeLock()) {
        openProblem_ = OpenProblem::Busy;
        openError_ = tr("wird bereits benutzt");
        return false;
    }
    // Shared with nobody: a port another program holds cannot be opened, and none can open this
    // one while it is held here.
    HANDLE port = ::CreateFileW(devicePath(deviceName()).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        releaseLock();
        openError_ = qt_error_string(int(error));
        openProblem_ = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION
                           ? OpenProblem::Busy
                       : error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
                           ? OpenProblem::Missing
                           : OpenProblem::Other;
        if (openProblem_ == OpenProblem::Busy) openError_ = tr("wird bereits benutzt");
        return false;
    }
    io_ = std::make_unique<Io>();
    io_->port = port;
    if (!configure(ls)) {
        closePort();
        releaseLock();
        openProblem_ = OpenProblem::Other;
        return false;
    }
    received_.clear();
    unsent_.clear();
    io_->readNotifier = new QWinEventNotifier(io_->read.hEvent, this);
    connect(io_->readNotifier, &QWinEventNotifier::activated, this, &WinSerialComm::readEnded);
    io_->writeNotifier = new QWinEventNotifier(io_->write.hEvent, this);
    connect(io_->writeNotifier, &QWinEventNotifier::activated, this, &WinSerialComm::written);
    startRead();
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
    // No handshake; the modem lines are left as the driver holds them for an open port: the
    // program never sets them, and a port without them (Wine's on a pseudo-terminal) refuses.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!::SetCommState(io_->port, &dcb)) {
        const DWORD error = ::GetLastError();
        // A port without line bits of its own (Wine's on a pseudo-terminal) cannot keep a parity
        // bit and says so; it carries the bytes as they are, and the frames' checksums still hold.
        // Anything else it refuses is refused here too.
        dcb.Parity = NOPARITY;
        dcb.fParity = dcb.fErrorChar = FALSE;
        if (error != ERROR_INVALID_PARAMETER || ls.parity == 'n' ||
            !::SetCommState(io_->port, &dcb)) {
            openError_ = tr("die Schnittstelle nimmt %1 nicht an: %2")
                             .arg(Settings, qt_error_string(int(error)));
            return false;
        }
    }
    // A read ends 1 ms after the last byte that came, with all that came; before the first byte
    // it waits as long as it takes. (The form that ends at the first byte at once is not carried
    // out by every driver: Wine's never ends it.)
    COMMTIMEOUTS timeouts{1, 0, 0, 0, 0};
    if (!::SetCommTimeouts(io_->port, &timeouts)) {
        openError_ = qt_error_string(int(::GetLastError()));
        return false;
    }
    // What an earlier user left in the driver belongs to no frame of this run. A driver that
    // cannot purge has nothing to purge that matters more than the run.
    ::PurgeComm(io_->port, PURGE_RXCLEAR | PURGE_TXCLEAR);
    return true;
}

void WinSerialComm::startRead() {
    if (!io_ || io_->reading) return;
    ::ResetEvent(io_->read.hEvent);
    io_->reading = true;
    if (!::ReadFile(io_->port, io_->readBuffer, sizeof io_->readBuffer, nullptr, &io_->read) &&
        ::GetLastError() != ERROR_IO_PENDING) {
        io_->reading = false;
        fail(::GetLastError());
    }
    // Done at once or later, the event is set and its notifier reports it.
}

void WinSerialComm::readEnded() {
    if (!io_) return;
    if (!io_->reading) {
        ::ResetEvent(io_->read.hEvent); // reported once
        return;
    }
    const qsizetype before = received_.size();
    if (!takeRead()) return;
    startRead();
    if (received_.size() > before && RThreshold > 0) emit OnComm();
}

bool WinSerialComm::takeRead() {
    if (!io_->reading) return true;
    DWORD got = 0;
    if (!::GetOverlappedResult(io_->port, &io_->read, &got, FALSE)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_INCOMPLETE) return true; // still under way
        io_->reading = false;
        fail(error);
        return false;
    }
    io_->reading = false;
    received_.append(io_->readBuffer, qsizetype(got));
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
    // Every byte counts, also one the driver holds and the read under way has not brought yet: a
    // byte nobody can explain means that replies and frames may be out of step.
    if (io_ && takeRead()) {
        // What the driver still holds, the read under way brings at once.
        DWORD errors = 0;
        COMSTAT status{};
        if (io_->reading && ::ClearCommError(io_->port, &errors, &status) && status.cbInQue > 0 &&
            ::WaitForSingleObject(io_->read.hEvent, 100) == WAIT_OBJECT_0 && !takeRead())
            return std::exchange(received_, {});
        startRead();
    }
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
    delete io_->readNotifier;
    delete io_->writeNotifier;
    io_->readNotifier = io_->writeNotifier = nullptr;
    // The driver may still write into what the overlapped operations point at: they are
    // cancelled and waited for before anything is freed.
    ::CancelIoEx(io_->port, nullptr);
    bool ended = true;
    for (const auto &[pending, ov] : {std::pair{io_->reading, &io_->read},
                                      std::pair{io_->writing, &io_->write}})
        if (pending) ended = ::WaitForSingleObject(ov->hEvent, 1000) == WAIT_OBJECT_0 && ended;
    ::CloseHandle(io_->port);
    // A driver that did not end them in time may still write there: better kept than freed.
    if (!ended) {
        (void)io_.release();
        return;
    }
    io_.reset();
}
