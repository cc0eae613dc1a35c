#include "cli/ImageInput.h"

#include <QFile>
#include <QFileInfo>
#include <cstdio>
#include <fcntl.h>
#include <io.h>

ImageInput ReadImageInput(const QString &path) {
    ImageInput in;
    in.name = path;
    QFile f;
    bool opened = false;
    if (path == QLatin1String("-")) {
        _setmode(_fileno(stdin), _O_BINARY); // the bytes as they come, CR LF untouched
        opened = f.open(stdin, QIODevice::ReadOnly);
    } else if (QFileInfo(path).isDir()) {
        in.problem = QStringLiteral("keine Datei und keine Pipe");
        return in;
    } else {
        // A file, or a named pipe (\\.\pipe\...), read to its end.
        f.setFileName(path);
        opened = f.open(QIODevice::ReadOnly);
    }
    if (opened) in.bytes = f.readAll();
    if (!opened || f.error() != QFileDevice::NoError) in.problem = f.errorString();
    return in;
}
