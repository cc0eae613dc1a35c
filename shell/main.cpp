#include "config/Translations.h"
#include "shell/Application.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Q7310Flasher")); // ~/.config/Q7310Flasher
    QApplication::setDesktopFileName(QStringLiteral(Q7310_APP_ID));   // its icon and menu entry
    InstallGermanTranslations(app); // the tool speaks German; so do Qt's own dialogs
    Application flasher(QCoreApplication::applicationDirPath());
    flasher.showMainWindow();
    return QApplication::exec();
}
