#include "cli/Print.h"

#include <io.h>
#include <windows.h>

void print(FILE *to, const QString &text) {
    std::fflush(to);
    HANDLE handle = HANDLE(_get_osfhandle(_fileno(to)));
    DWORD mode = 0;
    if (handle != INVALID_HANDLE_VALUE && ::GetConsoleMode(handle, &mode)) {
        // A console takes the characters themselves: its code page does not matter.
        QString lines = text;
        lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
        DWORD written = 0;
        ::WriteConsoleW(handle, reinterpret_cast<const wchar_t *>(lines.utf16()),
                        DWORD(lines.size()), &written, nullptr);
        return;
    }
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), to);
    std::fflush(to);
}
