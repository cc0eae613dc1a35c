#include "cli/Terminal.h"

#include <io.h>
#include <windows.h>

void PrepareConsole() {
    // German text as UTF-8, and the cursor movements of the progress line understood (Windows 10
    // and later; elsewhere the line is given as plain lines).
    ::SetConsoleOutputCP(CP_UTF8);
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(err, &mode))
        ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool SmartTerminal() {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return _isatty(2) && ::GetConsoleMode(err, &mode) &&
           (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(::GetStdHandle(STD_ERROR_HANDLE), &info)) {
        const int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0) return columns;
    }
    return 80;
}
