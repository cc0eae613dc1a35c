#include "config/Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

Places PlacesFor(const QString &programDir) {
    const QString user = QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation);
    const QDir dir(programDir);
    const bool installed =
        dir.dirName() == QLatin1String("bin") &&
        QFileInfo(dir.filePath(QStringLiteral("../share/doc/q7310flasher"))).isDir();
    Places p;
    p.settings = !installed && QFileInfo(programDir).isWritable() ? programDir : user;
    for (const QString &d : {user, programDir})
        if (!d.isEmpty() && !p.links.contains(d)) p.links << d;
    return p;
}
