#include "serial/ComPort.h"

#include "config/PortNames.h"

ComPort::ComPort(QStringList linkDirs, QObject *parent)
    : SerialComm(parent), linkDirs_(linkDirs), serial_(MakeSerialPort(std::move(linkDirs), this)),
      net_(this), active_(serial_.get()) {
    for (SerialComm *port : {serial_.get(), static_cast<SerialComm *>(&net_)}) {
        // Each reports every arrival; this one passes it on as its own receive threshold says.
        port->RThreshold = 1;
        connect(port, &SerialComm::OnComm, this, [this] {
            if (RThreshold > 0) emit OnComm();
        });
        connect(port, &SerialComm::Failed, this, [this](const QString &reason) {
            failure_ = reason;
            emit Failed(reason);
        });
    }
}

QString ComPort::address() const {
    return PortAddress(DevicePath.isEmpty() ? ComPortDevice(CommPort, linkDirs_) : DevicePath);
}

QString ComPort::deviceName() const {
    const QString a = address();
    if (!a.isEmpty()) return a;
    return DevicePath.isEmpty() ? ComPortDevice(CommPort, linkDirs_) : DevicePath;
}

bool ComPort::setPortOpen(bool open) {
    if (!open) return active_->setPortOpen(false);
    if (active_->PortOpen()) return true;
    const QString a = address();
    active_ = a.isEmpty() ? serial_.get() : &net_;
    active_->CommPort = CommPort;
    active_->DevicePath = a.isEmpty() ? DevicePath : a;
    active_->Settings = Settings;
    const bool opened = active_->setPortOpen(true);
    openError_ = active_->openError();
    openProblem_ = active_->openProblem();
    holder_ = active_->holder();
    failure_.clear();
    return opened;
}

QByteArray ComPort::Input() {
    active_->InputLen = InputLen;
    return active_->Input();
}
