#include "cli/Terminal.h"

#include <windows.h>

namespace {
bool sequences = false; // what PrepareConsole found

HANDLE console() {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    return err != INVALID_HANDLE_VALUE && ::GetConsoleMode(err, &mode) ? err
                                                                        : INVALID_HANDLE_VALUE;
}

// Whether the console acts on an escape sequence: one that moves nothing where it is understood
// moves the cursor where it is printed as it is (a console may take the mode and not act on it,
// as Wine's does). What it printed is blanked out again.
bool actsOnSequences(HANDLE err) {
    CONSOLE_SCREEN_BUFFER_INFO before{}, after{};
    if (!::GetConsoleScreenBufferInfo(err, &before)) return false;
    const wchar_t probe[] = L"\x1b[0m";
    DWORD n = 0;
    ::WriteConsoleW(err, probe, DWORD(wcslen(probe)), &n, nullptr);
    if (!::GetConsoleScreenBufferInfo(err, &after)) return false;
    if (after.dwCursorPosition.X == before.dwCursorPosition.X &&
        after.dwCursorPosition.Y == before.dwCursorPosition.Y)
        return true;
    ::SetConsoleCursorPosition(err, before.dwCursorPosition);
    ::FillConsoleOutputCharacterW(err, L' ', DWORD(wcslen(probe)), before.dwCursorPosition, &n);
    return false;
}
} // namespace

void PrepareConsole() {
    HANDLE err = console();
    DWORD mode = 0;
    if (err == INVALID_HANDLE_VALUE || !::GetConsoleMode(err, &mode)) return;
    // Windows 10 and later understand cursor movements once asked to; older ones, and consoles
    // that take the mode but print the sequences, get carriage returns and blanks.
    if (::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
        sequences = actsOnSequences(err);
        if (!sequences) ::SetConsoleMode(err, mode);
    }
}

bool SmartTerminal() {
    return console() != INVALID_HANDLE_VALUE;
}

bool CursorSequences() {
    return sequences && SmartTerminal();
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (::GetConsoleScreenBufferInfo(console(), &info)) {
        // What shows, and what the buffer holds: a line wider than either wraps.
        const int columns =
            std::min<int>(info.srWindow.Right - info.srWindow.Left + 1, info.dwSize.X);
        if (columns > 0) return columns;
    }
    return 80;
}
