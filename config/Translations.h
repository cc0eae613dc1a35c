#pragma once

class QCoreApplication;

// Installs Qt's own German texts (standard dialogs, serial port errors); returns how many of
// the translation files were found.
int InstallGermanTranslations(QCoreApplication &app);
