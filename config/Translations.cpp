#include "config/Translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

int InstallGermanTranslations(QCoreApplication &app) {
    const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    int loaded = 0;
    for (const char *name : {"qtbase_de", "qtserialport_de"}) {
        auto *tr = new QTranslator(&app);
        if (tr->load(QString::fromLatin1(name), dir) && QCoreApplication::installTranslator(tr))
            ++loaded;
        else
            delete tr;
    }
    return loaded;
}
