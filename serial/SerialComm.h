#pragma once
// The serial port Comm1 as the program uses it: a few properties set before opening, one write,
// a count and a read of the waiting bytes, and one receive event. The real port is the platform's
// (MakeSerialPort), or a device server (NetComm); tests may put another one in its place.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <memory>

class SerialComm : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    int CommPort = 1;
    QString Settings = QStringLiteral("9600,n,8,1");
    int InputLen = 0;   // 0: Input returns every waiting byte
    int RThreshold = 0; // > 0: OnComm is raised when bytes arrive
    // Set: the device opened whatever CommPort says, and the name messages give the port.
    QString DevicePath;

    // Why a port could not be opened, where it matters to the user: another process holds it,
    // this user may not open it, or there is no such port.
    enum class OpenProblem { None, Busy, Permission, Missing, Other };

    // Opens (true) or closes (false). False when opening failed; openError() says why.
    virtual bool setPortOpen(bool open) = 0;
    virtual bool PortOpen() const = 0;
    QString openError() const { return openError_; }
    OpenProblem openProblem() const { return openProblem_; }
    // The process that holds the port when it is Busy, where its lock tells; 0 otherwise.
    qint64 holder() const { return holder_; }
    // Why the open port failed and was closed; empty while it has not.
    QString failure() const { return failure_; }
    // The device the port number stands for, for messages.
    virtual QString deviceName() const = 0;
    // How messages name the port: "Com3", or the device path it was given.
    QString portLabel() const {
        return DevicePath.isEmpty() ? QStringLiteral("Com%1").arg(CommPort) : DevicePath;
    }

    virtual void Output(const QByteArray &bytes) = 0;
    virtual int InBufferCount() const = 0;
    virtual QByteArray Input() = 0;
    // Takes whatever is waiting, also what the system still holds, so a late reply cannot answer
    // the next frame; returns what was taken.
    virtual QByteArray DiscardInput() = 0;

signals:
    void OnComm();
    // The open port failed for good (adapter unplugged, peer gone); it has been closed.
    void Failed(const QString &reason);

protected:
    QString openError_;
    QString failure_;
    OpenProblem openProblem_ = OpenProblem::None;
    qint64 holder_ = 0;
};

struct LineSettings {
    int baud = 9600;
    char parity = 'n';
    int dataBits = 8;
    int stopBits = 1;
    bool valid = false;
    int bitsPerByte() const { return 1 + dataBits + (parity != 'n') + stopBits; }
};
LineSettings ParseSettings(const QString &settings);

// How long bytes take on a line with these settings ("38400,e,8,1": 221 bytes take 63 ms).
std::chrono::nanoseconds LineTime(qsizetype bytes, const QString &settings);

// The platform's serial port, ComN found in linkDirs: Qt Serial Port on Linux, the Win32 API on
// Windows.
std::unique_ptr<SerialComm> MakeSerialPort(QStringList linkDirs, QObject *parent = nullptr);
