#include "config/PortNames.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

int ComPortNumber(const QString &port) {
    static const QRegularExpression com(QStringLiteral("^com([1-9][0-9]{0,2})$"),
                                        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = com.match(port);
    const int n = m.hasMatch() ? m.captured(1).toInt() : 0;
    return n <= MaxComPort ? n : 0;
}

bool IsPortAddress(const QString &name) {
    static const QRegularExpression address(QStringLiteral("^(rfc2217|socket)://[^/:]+:[0-9]+$"),
                                            QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression v6(
        QStringLiteral("^(rfc2217|socket)://\\[[0-9a-f:.]+\\]:[0-9]+$"),
        QRegularExpression::CaseInsensitiveOption);
    return address.match(name).hasMatch() || v6.match(name).hasMatch();
}

QString PortAddress(const QString &device) {
    if (IsPortAddress(device)) return device;
    const QFileInfo fi(device);
    if (!fi.isFile() || fi.size() > 1024) return {}; // a device node or link to one is no file
    QFile f(device);
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QString line = QString::fromUtf8(f.readLine()).trimmed();
    return IsPortAddress(line) ? line : QString();
}

PortTarget ResolvePort(const QString &given, const QStringList &linkDirs) {
    PortTarget t;
    t.given = given;
    const int n = ComPortNumber(given);
    t.label = n > 0 ? QStringLiteral("Com%1").arg(n) : given;
    t.device = n > 0 ? ComPortDevice(n, linkDirs) : given;
    const QString address = PortAddress(t.device);
    if (!address.isEmpty()) {
        // The same server and port is the same instrument, whatever the case of its name.
        t.real = address.toLower();
        if (n > 0) t.link = t.device;
        return t;
    }
    const QFileInfo fi(t.device);
    if (n > 0 && fi.isSymLink()) t.link = t.device;
    IdentifyDevice(t);
    return t;
}

bool SameDevice(const PortTarget &a, const PortTarget &b) {
    if (a.id != 0 && a.id == b.id) return true;
    return !a.real.isEmpty() && a.real == b.real;
}
