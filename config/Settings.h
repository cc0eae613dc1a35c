#pragma once
// The settings file "Q7310Flasher.cfg": one line, the firmware file chosen last, in the local
// 8-bit encoding. Every problem with it is absorbed silently.

#include <QString>

// Where the settings file and the comN port links live: beside the program file where its user
// can write there (a portable copy), else in the user's configuration directory (an installed
// copy). Empty when there is no such place.
QString SettingsDir(const QString &programDir);

QString SettingsFilePath(const QString &settingsDir);

// Missing file: LastHexFile becomes empty. A file that cannot be opened or read, or that is
// empty, leaves LastHexFile as it was.
void ReadLastHexFile(const QString &settingsDir, QString &LastHexFile);

// Replaces the file with the one line and CR LF, creating the directory when needed; false when
// the write failed (nothing is shown).
bool WriteLastHexFile(const QString &settingsDir, const QString &path);
