#pragma once
// Which device a Com entry opens and what the system knows of it, for the Com menu and for
// q7310flash --list-ports.

#include <QList>
#include <QString>
#include <optional>

// A serial port as the system reports it.
struct PortFacts {
    QString location; // the device path ("/dev/ttyUSB0", "\\\\.\\COM3")
    QString name;     // "ttyUSB0", "COM3"
    QString description, manufacturer, serialNumber;
    int vendorId = -1, productId = -1; // USB ids; -1 where there are none
    int latencyMs = -1;                // a USB adapter's latency timer, where the system shows it
};

// The ports the system reports now; pseudo-terminals are never among them.
QList<PortFacts> SystemPorts();
// The n of every port named COMn above COM8 among them, in order: Windows gives USB adapters
// COM10 and above. Elsewhere ports have other names: none.
QList<int> ComPortsAboveEight(const QList<PortFacts> &ports);

struct ComPortView {
    QString device;                 // what ComN opens
    QString address;                // the device server it names, if it names one
    QString target;                 // where a link leads; empty when the device is no link
    bool exists = false;            // something is there to open
    std::optional<PortFacts> facts; // what the system reports of it, if it lists it
};
ComPortView LookUpComPort(int n, const QStringList &linkDirs, const QList<PortFacts> &ports);

// One line for the user: the device, and what it is or that there is none.
QString ComPortSummary(const ComPortView &view);
// "Prolific, USB-Serial Controller, Nr. 123, USB 067b:2303": what is known, in that order.
QString PortFactsText(const PortFacts &facts);
