#include "cli/Record.h"

#include <QDir>
#include <windows.h>

bool AppendLine(const QString &path, const QByteArray &line) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end of the file as it is
    // then, as O_APPEND does; shared, so that runs on one station write at once.
    const std::wstring name = QDir::toNativeSeparators(path).toStdWString();
    HANDLE h = ::CreateFileW(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = ::WriteFile(h, line.constData(), DWORD(line.size()), &written, nullptr) &&
                    written == DWORD(line.size());
    return ::CloseHandle(h) && ok;
}
