#pragma once
// Where q7310flash's output goes: a terminal that takes an updating line, or plain lines.

#include <QString>
#include <algorithm>
#include <cstdio>

// Sets the console up for German text and an updating line, where that takes setting up.
void PrepareConsole();
// stderr is a terminal that understands cursor movements (TERM is not "dumb").
bool SmartTerminal();
// The columns of the terminal on stderr now (it may have been resized); 80 where none is known.
int TerminalColumns();
// The text cut to `columns` characters, so that it never wraps.
inline QString FitTo(const QString &text, int columns) {
    return text.size() <= columns ? text : text.left(std::max(columns, 0));
}
