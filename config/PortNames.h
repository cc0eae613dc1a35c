#pragma once
// Where a Com port of the menu leads, and which device a port name opens: the names both fronts
// give the ports they open.

#include <QString>
#include <QStringList>

// The device behind ComN: "COMN" on Windows; elsewhere the link or device node "comN" in the
// first of linkDirs that has one, else /dev/ttyS(N-1).
QString ComPortDevice(int n, const QStringList &linkDirs);

// "com3", in any case -> 3; 0 for anything else.
int ComPortNumber(const QString &port);

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
// Both open the same device: the same device number, or the same file once links are followed.
bool SameDevice(const PortTarget &a, const PortTarget &b);
