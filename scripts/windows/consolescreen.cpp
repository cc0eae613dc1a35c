// What a console window shows after a command has run in it, for the checks under Wine: the
// command runs in a console of this program's own, COLUMNS wide, and the console's screen is
// then written to OUTFILE as UTF-8, a line a screen line, blanks at the end cut. The exit code
// is the command's.
// Usage: consolescreen.exe COLUMNS OUTFILE COMMAND [ARGUMENT]...
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t **argv) {
    if (argc < 4) return 2;
    const SHORT columns = SHORT(_wtoi(argv[1]));
    // A console of its own, whatever this program was started with: the command inherits it.
    ::FreeConsole();
    if (!::AllocConsole()) return 3;
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    const SMALL_RECT small{0, 0, 9, 9};
    ::SetConsoleWindowInfo(out, TRUE, &small);
    ::SetConsoleScreenBufferSize(out, COORD{columns, 500});
    const SMALL_RECT window{0, 0, SHORT(columns - 1), 24};
    ::SetConsoleWindowInfo(out, TRUE, &window);
    std::wstring command;
    for (int i = 3; i < argc; ++i)
        command += (i > 3 ? L" \"" : L"\"") + std::wstring(argv[i]) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &si, &pi))
        return 4;
    ::WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(pi.hProcess, &code);
    CONSOLE_SCREEN_BUFFER_INFO info{};
    ::GetConsoleScreenBufferInfo(out, &info);
    FILE *f = _wfopen(argv[2], L"wb");
    if (!f) return 5;
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        std::wstring line(std::size_t(info.dwSize.X), L' ');
        DWORD n = 0;
        ::ReadConsoleOutputCharacterW(out, line.data(), DWORD(line.size()), COORD{0, y}, &n);
        line.resize(n);
        while (!line.empty() && line.back() == L' ')
            line.pop_back();
        std::string utf8(line.size() * 4 + 1, '\0');
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), int(line.size()),
                                                utf8.data(), int(utf8.size()), nullptr, nullptr);
        std::fwrite(utf8.data(), 1, std::size_t(bytes), f);
        std::fputc('\n', f);
    }
    std::fclose(f);
    return int(code);
}
