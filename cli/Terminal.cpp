#include "cli/Terminal.h"

#include <QtGlobal>
#include <cstdlib>

#if defined(Q_OS_UNIX)
#include <sys/ioctl.h>
#include <unistd.h>
#elif defined(Q_OS_WIN)
#include <io.h>
#endif

bool SmartTerminal() {
#if defined(Q_OS_UNIX)
    const char *term = std::getenv("TERM");
    return ::isatty(2) && term && *term && qstrcmp(term, "dumb") != 0;
#else
    return _isatty(2);
#endif
}

int TerminalColumns() {
#if defined(Q_OS_UNIX)
    winsize w{};
    if (::ioctl(2, TIOCGWINSZ, &w) == 0 && w.ws_col > 0) return w.ws_col;
#endif
    return 80;
}

QString FitTo(const QString &text, int columns) {
    return text.size() <= columns ? text : text.left(std::max(columns, 0));
}
