#include "config/PortNames.h"

#include <QRegularExpression>

QString ComPortDevice(int n, const QStringList &linkDirs) {
    // No entries to look for: a file named com3 anywhere is the device COM3 to Windows.
    Q_UNUSED(linkDirs);
    return QStringLiteral("COM%1").arg(n);
}

void IdentifyDevice(PortTarget &t) {
    // "COM3" is no file: the name is the device, whatever its case; \\.\COM3 is the same one.
    static const QRegularExpression prefix(QStringLiteral("^\\\\\\\\\\.\\\\"));
    t.real = QString(t.device).remove(prefix).toUpper();
    t.id = 0;
}

QString ComPortsExplained(const QStringList &linkDirs) {
    Q_UNUSED(linkDirs);
    return QStringLiteral("ComN ist die Schnittstelle COMN des Systems (auch COM10 und höher).");
}
