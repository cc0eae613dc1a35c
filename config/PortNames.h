#pragma once
// Where a Com port of the menu leads, and which device a port name opens: the names both fronts
// give the ports they open.

#include <QString>
#include <QStringList>

// The highest N of a ComN (Windows numbers USB adapters on past COM9).
constexpr int MaxComPort = 255;

// The device behind ComN. On Windows the port COMN. Elsewhere an entry "comN" (a link, a device
// node, or a file naming a device server) in the first of linkDirs that has one, else
// /dev/ttyS(N-1).
QString ComPortDevice(int n, const QStringList &linkDirs);

// Where the Com ports lead, in a line for the user (q7310flash --list-ports).
QString ComPortsExplained(const QStringList &linkDirs);

// "com3", "COM12", in any case -> 3, 12; 0 for anything else.
int ComPortNumber(const QString &port);

// A serial device server's address: rfc2217://HOST:PORT or socket://HOST:PORT.
bool IsPortAddress(const QString &name);
// The address a port stands for: its name, or the one line of a comN entry that is a file
// holding one (echo rfc2217://host:2000 > ~/.config/Q7310Flasher/com3); empty for a device.
QString PortAddress(const QString &device);

// A port as given, and the device it opens.
struct PortTarget {
    QString given;  // as the user wrote it
    QString label;  // how messages name it: "Com3", or the path given
    QString device; // what is opened: the link or path
    QString real;   // the device itself, every link followed; empty when there is nothing
    QString link;   // the comN link used, if one was
    quint64 id = 0; // the device number where there is one, so two nodes of one device match
};
PortTarget ResolvePort(const QString &given, const QStringList &linkDirs);
// Fills in the device itself (real) and its number (id), as the system knows them.
void IdentifyDevice(PortTarget &target);
// Both open the same device: the same device number, or the same file once links are followed.
bool SameDevice(const PortTarget &a, const PortTarget &b);
