#include "shell/FileDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QWidget>
#include <string>
#include <windows.h>

#include <commdlg.h>

// Windows' own dialog, called directly: Qt's keeps what it saw in the registry
// (HKCU\Software\QtProject), which the program must not write.
void QtFileDialog::ShowOpen() {
    QString start = FileName;
    QString dir;
    if (start.isEmpty() || !QFileInfo(start).dir().exists()) {
        // "c:\" and other directories that do not exist here fall back to the home directory.
        dir = QDir(InitDir).exists() && !InitDir.isEmpty() ? InitDir : QDir::homePath();
        start.clear();
    } else {
        dir = QFileInfo(start).absolutePath();
        start = QFileInfo(start).fileName();
    }
    // "Desc|pattern|..." as the dialog wants it: each part ended by a NUL, the list by another.
    std::wstring filter;
    for (const QString &part : Filter.split(QLatin1Char('|')))
        filter += part.toStdWString() + L'\0';
    filter += L'\0';
    std::wstring file = start.toStdWString();
    file.resize(32768, L'\0');
    const std::wstring initial = QDir::toNativeSeparators(dir).toStdWString();
    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = parent_ ? HWND(parent_->window()->winId()) : nullptr;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file.data();
    ofn.nMaxFile = DWORD(file.size());
    ofn.lpstrInitialDir = initial.c_str();
    ofn.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                OFN_NOCHANGEDIR | OFN_DONTADDTORECENT;
    if (::GetOpenFileNameW(&ofn)) FileName = QString::fromWCharArray(file.c_str());
}
