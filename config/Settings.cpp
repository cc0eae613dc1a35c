#include "config/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {
// What tells a line in UTF-8 from one in the local 8-bit encoding, which never begins so.
constexpr QByteArrayView Utf8Mark("\xEF\xBB\xBF");
} // namespace

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
    LastHexFile = line.startsWith(Utf8Mark) ? QString::fromUtf8(line.mid(Utf8Mark.size()))
                                            : QString::fromLocal8Bit(line);
}

bool WriteLastHexFile(const QString &settingsDir, const QString &path) {
    QFile f(SettingsFilePath(settingsDir));
    if (f.fileName().isEmpty() || !QDir().mkpath(settingsDir)) return false;
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    // The local 8-bit encoding, as always, where it can hold the path; UTF-8 behind its mark
    // where it cannot (a name from another script on Windows), so that the path survives.
    const QByteArray local = path.toLocal8Bit();
    const QByteArray bytes =
        (QString::fromLocal8Bit(local) == path ? local : Utf8Mark.toByteArray() + path.toUtf8()) +
        "\r\n";
    const bool ok = f.write(bytes) == bytes.size();
    f.close();
    return ok && f.error() == QFileDevice::NoError;
}
