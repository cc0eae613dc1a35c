#pragma once
// Text for the user or for station software, at once: a line must not wait in a buffer while the
// run goes on. To a console as its characters (umlauts right whatever its code page), to a pipe
// or a file as UTF-8.

#include <QString>
#include <cstdio>

void print(FILE *to, const QString &text);
