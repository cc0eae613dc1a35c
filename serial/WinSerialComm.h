#pragma once
// The serial port on Windows, on the Win32 API: locked for this run by a lock of the program's
// own (a named object every copy of the program sees, holding the process that took it, as
// flock is on Linux; a driver's exclusive open is not relied on, Wine does not enforce it for COM
// ports), opened for this process alone, set to the line's
// settings with parity checked on input (a byte that fails reads as FF), written in one piece and
// read as bytes arrive, without blocking: a read is always under way, overlapped, that ends a
// millisecond after the bytes that came, and Qt's event loop reports it. (Waiting for the
// driver's "characters received" event instead needs the modem lines' status, which a port
// without them, as Wine's on a pseudo-terminal, cannot give: the wait is cancelled.)

#include "serial/SerialComm.h"

#include <memory>

class WinSerialComm : public SerialComm {
    Q_OBJECT
public:
    // linkDirs: where comN entries are looked for (none are, on Windows: COMN is the port).
    explicit WinSerialComm(QStringList linkDirs, QObject *parent = nullptr);
    ~WinSerialComm() override;

    bool setPortOpen(bool open) override;
    bool PortOpen() const override;
    QString deviceName() const override;
    void Output(const QByteArray &bytes) override;
    int InBufferCount() const override;
    QByteArray Input() override;
    QByteArray DiscardInput() override;

private:
    struct Io; // the handle, its overlapped operations and their notifiers
    bool configure(const LineSettings &ls);
    // Starts the read that ends once bytes have come and the line is quiet again.
    void startRead();
    void readEnded();
    // Takes what the read under way has brought, if it has ended; false when the port failed.
    bool takeRead();
    void writeNext();
    void written();
    // The open port failed for good: closed, and the reason kept and reported.
    void fail(unsigned long error);
    void closePort();
    // Takes the port's lock; false, with the holder, when another process has it.
    bool takeLock();
    void releaseLock();

    QStringList linkDirs_;
    std::unique_ptr<Io> io_;
    void *lock_ = nullptr; // the port's lock, while it is held here
    QByteArray received_; // read from the driver, not yet taken by Input
    QByteArray unsent_;   // waiting for the write under way to end
};
