#include "serial/PortInfo.h"

#include "config/PortNames.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <algorithm>

ComPortView LookUpComPort(int n, const QStringList &linkDirs, const QList<PortFacts> &ports) {
    ComPortView v;
    v.device = ComPortDevice(n, linkDirs);
    v.address = PortAddress(v.device);
    if (!v.address.isEmpty()) {
        v.exists = true;
        if (v.address != v.device) v.target = v.address;
        return v;
    }
    const QFileInfo fi(v.device);
    if (fi.isSymLink()) v.target = fi.symLinkTarget();
    // A link is followed to the device itself, which is what the system lists.
    const QString real = fi.exists() ? fi.canonicalFilePath() : QString();
    for (const PortFacts &p : ports) {
        if (p.location == v.device || p.name == v.device ||
            (!real.isEmpty() && QFileInfo(p.location).canonicalFilePath() == real))
            v.facts = p;
    }
    v.exists = fi.exists() || v.facts.has_value();
    return v;
}

QList<int> ComPortsAboveEight(const QList<PortFacts> &ports) {
    QList<int> above;
    for (const PortFacts &p : ports) {
        const int n = ComPortNumber(p.name);
        if (n > 8 && p.name.startsWith(QLatin1String("COM"), Qt::CaseInsensitive) &&
            !above.contains(n))
            above << n;
    }
    std::sort(above.begin(), above.end());
    return above;
}

QString PortFactsText(const PortFacts &f) {
    QStringList parts;
    for (const QString &s : {f.manufacturer, f.description})
        if (!s.isEmpty()) parts << s;
    if (!f.serialNumber.isEmpty()) parts << QStringLiteral("Nr. %1").arg(f.serialNumber);
    if (f.vendorId >= 0 && f.productId >= 0)
        parts << QStringLiteral("USB %1:%2")
                     .arg(f.vendorId, 4, 16, QLatin1Char('0'))
                     .arg(f.productId, 4, 16, QLatin1Char('0'));
    if (f.latencyMs >= 0) parts << QStringLiteral("Latenz-Timer %1 ms").arg(f.latencyMs);
    return parts.join(QStringLiteral(", "));
}

QString ComPortSummary(const ComPortView &v) {
    QString s = v.device;
    if (!v.target.isEmpty()) s += QStringLiteral(" → ") + v.target;
    if (!v.address.isEmpty())
        return s + (v.address.startsWith(QLatin1String("rfc2217"), Qt::CaseInsensitive)
                        ? QStringLiteral(": Geräteserver, RFC 2217")
                        : QStringLiteral(": Geräteserver, TCP ohne Einstellungen"));
    if (!v.exists) return s + QStringLiteral(": Gerät nicht vorhanden");
    if (!v.facts)
        return s + QStringLiteral(": vom System nicht als serielle Schnittstelle gemeldet");
    const QString known = PortFactsText(*v.facts);
    return s + QStringLiteral(": ") +
           (known.isEmpty() ? QStringLiteral("serielle Schnittstelle") : known);
}
