#include "cli/Terminal.h"

#include <QtGlobal>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

void PrepareConsole() {}

bool SmartTerminal() {
    const char *term = std::getenv("TERM");
    return ::isatty(2) && term && *term && qstrcmp(term, "dumb") != 0;
}

bool CursorSequences() {
    return SmartTerminal();
}

int TerminalColumns() {
    winsize w{};
    if (::ioctl(2, TIOCGWINSZ, &w) == 0 && w.ws_col > 0) return w.ws_col;
    return 80;
}
