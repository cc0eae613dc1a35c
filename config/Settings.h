#pragma once
// The settings file "Q7310Flasher.cfg": one line, the firmware file chosen last, in the local
// 8-bit encoding, or, where that cannot hold the path, in UTF-8 behind its byte order mark. Every
// problem with it is absorbed silently.

#include <QString>

#include <QStringList>

// Where a copy of the program keeps its settings file and looks for its comN port entries. An
// installed copy keeps them in the user's own directory, whoever runs it: the program's directory
// belongs to the package manager or the installer (on Linux a bin directory beside
// share/doc/q7310flasher, as cmake --install and the package put it, and ~/.config/Q7310Flasher;
// on Windows a folder under Program Files, and %APPDATA%\Q7310Flasher). A copy run from its
// build tree or a portable folder keeps its settings beside itself where it can write there, as
// it always did. Entries are looked for in the user's directory first, then beside the program.
struct Places {
    QString settings;  // the settings file's directory; empty when there is none
    QStringList links; // where comN links are looked for, in this order
};
Places PlacesFor(const QString &programDir);

QString SettingsFilePath(const QString &settingsDir);

// Missing file: LastHexFile becomes empty. A file that cannot be opened or read, or that is
// empty, leaves LastHexFile as it was.
void ReadLastHexFile(const QString &settingsDir, QString &LastHexFile);

// Replaces the file with the one line and CR LF, creating the directory when needed; false when
// the write failed (nothing is shown).
bool WriteLastHexFile(const QString &settingsDir, const QString &path);
