#pragma once
// Where a Com port of the menu leads: the names both fronts give the ports they open.

#include <QString>

// The device behind ComN: "COMN" on Windows; elsewhere the link or device node "comN" in
// linkDir (where the settings file lives) when one exists, else /dev/ttyS(N-1).
QString ComPortDevice(int n, const QString &linkDir);
