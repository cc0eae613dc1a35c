#pragma once
// The serial port on Linux: Qt Serial Port, with what it leaves out: the device locked by itself,
// parity checked on input, and a USB adapter's driver asked for low latency.

#include "serial/SerialComm.h"

class QSerialPort;

class QtSerialComm : public SerialComm {
    Q_OBJECT
public:
    // linkDirs: where comN links are looked for, in this order.
    explicit QtSerialComm(QStringList linkDirs, QObject *parent = nullptr);
    ~QtSerialComm() override;

    bool setPortOpen(bool open) override;
    bool PortOpen() const override;
    QString deviceName() const override;
    void Output(const QByteArray &bytes) override;
    int InBufferCount() const override;
    QByteArray Input() override;
    QByteArray DiscardInput() override;

private:
    void onError();
    void checkInputParity();
    // Locks the open device itself, so no second flasher opens it under another name; false
    // when another process holds it.
    bool lockDevice();
    // A USB adapter's driver at the speed of the line, as long as the port is open.
    void lowerLatency();
    void closePort();

    QStringList linkDirs_;
    QSerialPort *port_;
    int flagsBefore_ = -1; // the driver's flags to put back on close; -1: nothing changed
};
