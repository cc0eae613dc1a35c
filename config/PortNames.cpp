#include "config/PortNames.h"

#include <QDir>
#include <QFileInfo>

QString ComPortDevice(int n, const QString &linkDir) {
#ifdef Q_OS_WIN
    Q_UNUSED(linkDir);
    return QStringLiteral("COM%1").arg(n);
#else
    const QString local = QDir(linkDir).filePath(QStringLiteral("com%1").arg(n));
    const QFileInfo fi(local);
    if (!linkDir.isEmpty() && (fi.exists() || fi.isSymLink())) return local;
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
#endif
}
