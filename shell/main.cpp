#include "config/Translations.h"
#include "shell/Application.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Q7310Flasher")); // ~/.config/Q7310Flasher
    QApplication::setDesktopFileName(QStringLiteral(Q7310_APP_ID));   // its icon and menu entry
    InstallGermanTranslations(app); // the tool speaks German; so do Qt's own dialogs
    Application flasher(QCoreApplication::applicationDirPath());
    flasher.showMainWindow();
    // Q7310Flasher FILE: started with that firmware file chosen.
    const QString file = QCoreApplication::arguments().value(1);
    if (!file.isEmpty())
        flasher.mainWindow()->chooseFile(QDir::toNativeSeparators(QFileInfo(file).absoluteFilePath()));
    return QApplication::exec();
}
