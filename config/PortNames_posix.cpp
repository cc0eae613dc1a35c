#include "config/PortNames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/stat.h>

QString ComPortDevice(int n, const QStringList &linkDirs) {
    for (const QString &dir : linkDirs) {
        if (dir.isEmpty()) continue;
        const QString local = QDir(dir).filePath(QStringLiteral("com%1").arg(n));
        const QFileInfo fi(local);
        if (fi.exists() || fi.isSymLink()) return local;
    }
    return QStringLiteral("/dev/ttyS%1").arg(n - 1);
}

void IdentifyDevice(PortTarget &t) {
    const QFileInfo fi(t.device);
    t.real = fi.exists() ? fi.canonicalFilePath() : QString();
    // Two device nodes (or links) of one device have the same device number.
    struct stat st {};
    if (!t.real.isEmpty() && ::stat(QFile::encodeName(t.real).constData(), &st) == 0)
        t.id = S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? quint64(st.st_rdev) : 0;
}

QString ComPortsExplained(const QStringList &linkDirs) {
    return QStringLiteral("Verknüpfungen com1 ... com8 gesucht in: %1")
        .arg(linkDirs.join(QStringLiteral(", dann ")));
}
