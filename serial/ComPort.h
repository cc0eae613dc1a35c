#pragma once
// The port a front opens: the serial port, or a serial device server when the port's name, or
// the comN entry it leads to, is an address rfc2217://HOST:PORT or socket://HOST:PORT. Which one
// is decided each time it opens; the run does not learn which it talks to.

#include "serial/NetComm.h"
#include "serial/SerialComm.h"

#include <QStringList>

class ComPort : public SerialComm {
    Q_OBJECT
public:
    // linkDirs: where comN links and entries are looked for, in this order.
    explicit ComPort(QStringList linkDirs, QObject *parent = nullptr);

    bool setPortOpen(bool open) override;
    bool PortOpen() const override { return active_->PortOpen(); }
    QString deviceName() const override;
    void Output(const QByteArray &bytes) override { active_->Output(bytes); }
    int InBufferCount() const override { return active_->InBufferCount(); }
    QByteArray Input() override;
    QByteArray DiscardInput() override { return active_->DiscardInput(); }

private:
    QString address() const;

    QStringList linkDirs_;
    std::unique_ptr<SerialComm> serial_;
    NetComm net_;
    SerialComm *active_;
};
