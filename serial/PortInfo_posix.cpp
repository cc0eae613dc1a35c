#include "serial/PortInfo.h"

#include <QFile>
#include <QSerialPortInfo>

QList<PortFacts> SystemPorts() {
    QList<PortFacts> ports;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &i : infos) {
        PortFacts f{i.systemLocation(),
                    i.portName(),
                    i.description(),
                    i.manufacturer(),
                    i.serialNumber(),
                    i.hasVendorIdentifier() ? int(i.vendorIdentifier()) : -1,
                    i.hasProductIdentifier() ? int(i.productIdentifier()) : -1};
        // Linux shows a USB serial adapter's latency timer (FTDI's) in milliseconds.
        QFile timer(QStringLiteral("/sys/bus/usb-serial/devices/%1/latency_timer").arg(f.name));
        bool ok = false;
        if (timer.open(QIODevice::ReadOnly)) f.latencyMs = timer.readAll().trimmed().toInt(&ok);
        if (!ok) f.latencyMs = -1;
        ports.append(f);
    }
    return ports;
}
