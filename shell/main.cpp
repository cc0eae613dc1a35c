#include "shell/Application.h"
#include "shell/Translations.h"

#include <QApplication>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    InstallGermanTranslations(app); // the tool speaks German; so do Qt's own dialogs
    Application flasher(QCoreApplication::applicationDirPath());
    flasher.showMainWindow();
    return QApplication::exec();
}
