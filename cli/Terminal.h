#pragma once
// Where q7310flash's output goes: a terminal that takes an updating line, or plain lines.

#include <QString>
#include <cstdio>

// stderr is a terminal that understands cursor movements (TERM is not "dumb").
bool SmartTerminal();
// The columns of the terminal on stderr now (it may have been resized); 80 where none is known.
int TerminalColumns();
// The text cut to `columns` characters, so that it never wraps.
QString FitTo(const QString &text, int columns);
