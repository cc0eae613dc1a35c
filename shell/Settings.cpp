#include "shell/Settings.h"

#include <QDir>
#include <QFile>

QString SettingsFilePath(const QString &programDir) {
    return QDir(programDir).filePath(QStringLiteral("Q7310Flasher.cfg"));
}

void ReadLastHexFile(const QString &programDir, QString &LastHexFile) {
    QFile f(SettingsFilePath(programDir));
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

bool WriteLastHexFile(const QString &programDir, const QString &path) {
    QFile f(SettingsFilePath(programDir));
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    const QByteArray bytes = path.toLocal8Bit() + "\r\n";
    const bool ok = f.write(bytes) == bytes.size();
    f.close();
    return ok && f.error() == QFileDevice::NoError;
}
