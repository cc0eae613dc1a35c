#include "config/Settings.h"

#include <QDir>
#include <QTemporaryFile>

namespace {
// Under Program Files: what the installer put there, which an ordinary user may not change.
bool installed(const QString &programDir) {
    const QString dir = QDir::fromNativeSeparators(QDir::cleanPath(programDir));
    for (const char *root : {"ProgramFiles", "ProgramW6432", "ProgramFiles(x86)"}) {
        const QString r = QDir::fromNativeSeparators(QDir::cleanPath(qEnvironmentVariable(root)));
        if (!r.isEmpty() && dir.startsWith(r + QLatin1Char('/'), Qt::CaseInsensitive)) return true;
    }
    return false;
}

// Whether a file can be made there: the folder's access rights say more than its attributes.
bool writable(const QString &dir) {
    QTemporaryFile probe(QDir(dir).filePath(QStringLiteral("q7310-XXXXXX")));
    return probe.open();
}
} // namespace

Places PlacesFor(const QString &programDir) {
    const QString appData = qEnvironmentVariable("APPDATA");
    const QString user = appData.isEmpty()
                             ? QString()
                             : QDir::fromNativeSeparators(appData) + QStringLiteral("/Q7310Flasher");
    Places p;
    p.settings = !installed(programDir) && writable(programDir) ? programDir : user;
    for (const QString &d : {user, programDir})
        if (!d.isEmpty() && !p.links.contains(d)) p.links << d;
    return p;
}
