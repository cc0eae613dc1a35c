#include "config/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString SettingsFilePath(const QString &settingsDir) {
    // Never a bare name: that would put the file wherever the program was started from.
    if (settingsDir.isEmpty()) return QString();
    return QDir(settingsDir).filePath(QStringLiteral("Q7310Flasher.cfg"));
}

void ReadLastHexFile(const QString &settingsDir, QString &LastHexFile) {
    QFile f(SettingsFilePath(settingsDir));
    if (!f.exists()) {
        LastHexFile.clear();
        return;
    }
    if (!f.open(QIODevice::ReadOnly)) return;
    if (f.atEnd()) return; // empty file: nothing to read
    QByteArray line = f.readLine();
    if (f.error() != QFileDevice::NoError) return;
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    LastHexFile = QString::fromLocal8Bit(line);
}

bool WriteLastHexFile(const QString &settingsDir, const QString &path) {
    QFile f(SettingsFilePath(settingsDir));
    if (f.fileName().isEmpty() || !QDir().mkpath(settingsDir)) return false;
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = path.toLocal8Bit() + "\r\n";
    const bool ok = f.write(bytes) == bytes.size();
    f.close();
    return ok && f.error() == QFileDevice::NoError;
}
