// make_icons: the application icon at the sizes a desktop wants, drawn from the very picture of
// the instrument the program shows (compiled in here as well).
// Usage: make_icons OUTDIR NAME SIZE...   writes OUTDIR/SIZE/NAME.png, or OUTDIR/SIZE/NAME as an
// icon file where NAME ends in .ico (the Windows program's icon).

#include "resources/instrument.xpm"

#include <QDir>
#include <QImage>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: make_icons OUTDIR NAME SIZE...\n");
        return 2;
    }
    const QImage picture(instrument);
    for (int i = 3; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        // Whole multiples keep the pixels crisp; other sizes are smoothed.
        const auto mode =
            size % picture.width() == 0 ? Qt::FastTransformation : Qt::SmoothTransformation;
        const QString dir = QDir(QString::fromLocal8Bit(argv[1])).filePath(QString::number(size));
        const QString name = QString::fromLocal8Bit(argv[2]);
        // An application id has dots of its own: only .ico names another format.
        const QString file =
            dir + QLatin1Char('/') + name +
            (name.endsWith(QLatin1String(".ico"), Qt::CaseInsensitive) ? QString()
                                                                        : QStringLiteral(".png"));
        if (size <= 0 || !QDir().mkpath(dir) ||
            !picture.scaled(size, size, Qt::IgnoreAspectRatio, mode).save(file)) {
            std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
