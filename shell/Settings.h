#pragma once
// The settings file "Q7310Flasher.cfg" beside the program file: one line, the firmware file
// chosen last, in the local 8-bit encoding. Every problem with it is absorbed silently.

#include <QString>

QString SettingsFilePath(const QString &programDir);

// Missing file: LastHexFile becomes empty. A file that cannot be opened or read, or that is
// empty, leaves LastHexFile as it was.
void ReadLastHexFile(const QString &programDir, QString &LastHexFile);

// Replaces the file with the one line and CR LF; false when the write failed (nothing is shown).
bool WriteLastHexFile(const QString &programDir, const QString &path);
