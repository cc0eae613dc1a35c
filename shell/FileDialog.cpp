#include "shell/FileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

QString QtFilterFromPairs(const QString &filter) {
    const QStringList parts = filter.split(QLatin1Char('|'));
    QStringList entries;
    for (int i = 0; i + 1 < parts.size(); i += 2) {
        const QString desc = parts[i];
        const QString pattern = parts[i + 1];
        // Qt takes the patterns from the brackets of the description.
        entries << (desc.contains(QLatin1Char('(') + pattern + QLatin1Char(')'))
                        ? desc
                        : QStringLiteral("%1 (%2)").arg(desc, pattern));
    }
    return entries.join(QLatin1String(";;"));
}
