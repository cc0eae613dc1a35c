#pragma once
// Where q7310flash's output goes: a terminal that takes an updating line, or plain lines.

#include <QString>
#include <algorithm>
#include <cstdio>

// Sets the console up for an updating line where that takes setting up, and finds out whether it
// understands cursor movements.
void PrepareConsole();
// stderr is a terminal (a console) that takes an updating line: a carriage return goes back to
// the start of the line (TERM is not "dumb").
bool SmartTerminal();
// It also understands escape sequences (cursor movements, clearing a line); a console that does
// not is given carriage returns and blanks.
bool CursorSequences();
// The columns of the terminal on stderr now (it may have been resized); 80 where none is known.
int TerminalColumns();
// The text cut to `columns` characters, so that it never wraps.
inline QString FitTo(const QString &text, int columns) {
    return text.size() <= columns ? text : text.left(std::max(columns, 0));
}
// What takes the cursor back to the start of its line, cleared, on a line of `columns`.
inline QString LineStart(int columns) {
    return CursorSequences() ? QStringLiteral("\r\x1b[2K")
                             : QLatin1Char('\r') + QString(std::max(columns, 0), QLatin1Char(' ')) +
                                   QLatin1Char('\r');
}
