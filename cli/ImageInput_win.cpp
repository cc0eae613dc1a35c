#include "cli/ImageInput.h"

#include <QFile>
#include <QFileInfo>
#include <windows.h>

namespace {
// Everything a handle gives until its end: a file, or a pipe (one from another program, from
// the parent of several ports, or one Wine was handed), which ends when its writer closes it.
bool readAll(HANDLE h, QByteArray &into, QString &problem) {
    char buffer[65536];
    for (;;) {
        DWORD n = 0;
        if (::ReadFile(h, buffer, sizeof buffer, &n, nullptr)) {
            if (n == 0) return true; // the end of a file, or of a pipe in byte mode
            into.append(buffer, qsizetype(n));
            continue;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return true;
        problem = qt_error_string(int(error));
        return false;
    }
}
} // namespace

ImageInput ReadImageInput(const QString &path) {
    ImageInput in;
    in.name = path;
    if (path == QLatin1String("-")) {
        // The bytes as they come, CR LF untouched, read by the handle: the C runtime's stream
        // cannot tell the length of a pipe.
        readAll(::GetStdHandle(STD_INPUT_HANDLE), in.bytes, in.problem);
        return in;
    }
    if (QFileInfo(path).isDir()) {
        in.problem = QStringLiteral("keine Datei und keine Pipe");
        return in;
    }
    // A file, or a named pipe (\\.\pipe\...), read to its end.
    HANDLE h = ::CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        in.problem = qt_error_string(int(::GetLastError()));
        return in;
    }
    readAll(h, in.bytes, in.problem);
    ::CloseHandle(h);
    return in;
}
