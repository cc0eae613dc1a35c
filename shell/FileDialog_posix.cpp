#include "shell/FileDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>

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
