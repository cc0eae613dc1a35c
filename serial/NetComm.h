#pragma once
// An instrument behind a serial device server, reached over TCP: rfc2217://HOST:PORT speaks
// Telnet with the COM-PORT-OPTION of RFC 2217 and sets the line itself; socket://HOST:PORT is
// raw TCP, the line set as the server has it. To the run it is a port like the serial one.

#include "serial/SerialComm.h"

#include <QByteArray>
#include <QString>

class QSocketNotifier;

class NetComm : public SerialComm {
    Q_OBJECT
public:
    explicit NetComm(QObject *parent = nullptr);
    ~NetComm() override;

    // The address opened: what DevicePath names.
    QString deviceName() const override { return DevicePath; }
    bool setPortOpen(bool open) override;
    bool PortOpen() const override { return fd_ != -1; }
    void Output(const QByteArray &bytes) override;
    int InBufferCount() const override { return int(received_.size()); }
    QByteArray Input() override;
    QByteArray DiscardInput() override;

    // How long the server has to take the connection, and then the line settings.
    static constexpr int ConnectTimeoutMs = 5000;
    static constexpr int SettingsTimeoutMs = 3000;

private:
    bool connectTo(const QString &host, quint16 port);
    // Negotiates BINARY both ways and the line's settings, and purges the server's buffers;
    // false (with openError_) when the server does not take them.
    bool negotiate();
    void sendSetting(int command, const QByteArray &value);
    // Reads what the socket holds now; false when the connection is gone.
    bool readNow();
    void take(const char *bytes, qsizetype n);
    void option(int verb, int option);
    void subnegotiation(const QByteArray &sb);
    void flush();
    void fail(const QString &reason);
    void closeSocket();

    qintptr fd_ = -1; // the connection, tcp::Socket
    bool telnet_ = false;
    QSocketNotifier *readable_ = nullptr;
    QSocketNotifier *writable_ = nullptr;
    QByteArray received_; // data bytes, telnet taken out
    QByteArray unsent_;   // what the socket did not take yet
    // The Telnet parser's state between reads.
    enum class Parse { Data, Iac, Verb, Sub, SubIac } parse_ = Parse::Data;
    int verb_ = 0;
    QByteArray sub_;
    // What the server agreed to.
    bool binaryIn_ = false, binaryOut_ = false;
    int acked_ = 0; // bit per setting acknowledged
    QByteArray ackValue_[13];
};
