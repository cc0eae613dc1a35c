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

void QtFileDialog::ShowOpen() {
    QString start = FileName;
    if (start.isEmpty() || !QFileInfo(start).dir().exists()) {
        // "c:\" and other directories that do not exist here fall back to the home directory.
        start = QDir(InitDir).exists() && !InitDir.isEmpty() ? InitDir : QDir::homePath();
    }
    QFileDialog dialog(parent_, QString(), start, QtFilterFromPairs(Filter));
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (!FileName.isEmpty()) dialog.selectFile(FileName);
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
        FileName = QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}
