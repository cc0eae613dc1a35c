#include "shell/Application.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    // The tool speaks German; so do Qt's own dialogs and error texts.
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const char *name : {"qtbase_de", "qtserialport_de"}) {
        auto *tr = new QTranslator(&app);
        if (tr->load(QString::fromLatin1(name), dir))
            QApplication::installTranslator(tr);
    }
    Application flasher(QCoreApplication::applicationDirPath());
    flasher.showMainWindow();
    return QApplication::exec();
}
