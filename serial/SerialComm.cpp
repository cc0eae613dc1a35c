#include "serial/SerialComm.h"


LineSettings ParseSettings(const QString &settings) {
    LineSettings ls;
    const QStringList parts = settings.split(QLatin1Char(','));
    if (parts.size() != 4) return ls;
    bool okBaud = false, okData = false;
    ls.baud = parts[0].trimmed().toInt(&okBaud);
    const QString p = parts[1].trimmed().toLower();
    ls.parity = p.size() == 1 ? p[0].toLatin1() : '?';
    ls.dataBits = parts[2].trimmed().toInt(&okData);
    const QString stop = parts[3].trimmed();
    ls.stopBits = stop == QLatin1String("1") ? 1 : stop == QLatin1String("2") ? 2 : 0;
    ls.valid = okBaud && ls.baud > 0 && okData && ls.dataBits >= 5 && ls.dataBits <= 8 &&
               ls.stopBits != 0 && QByteArrayLiteral("noems").contains(ls.parity);
    return ls;
}

std::chrono::nanoseconds LineTime(qsizetype bytes, const QString &settings) {
    const LineSettings ls = ParseSettings(settings);
    if (!ls.valid) return std::chrono::nanoseconds(0);
    return std::chrono::nanoseconds(std::int64_t(bytes) * ls.bitsPerByte() * 1000000000 / ls.baud);
}
