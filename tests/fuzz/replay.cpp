// Runs a fuzz target over the files of its corpus, for compilers without libFuzzer: the same
// properties, checked on every test run.
// Usage: replay FILE|DIR...

#include <QDirIterator>
#include <QFile>
#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size);

int main(int argc, char **argv) {
    int files = 0;
    for (int i = 1; i < argc; ++i) {
        QStringList paths{QString::fromLocal8Bit(argv[i])};
        for (QDirIterator it(paths[0], QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            paths << it.next();
        for (const QString &path : paths) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly) || QFileInfo(path).isDir()) continue;
            const QByteArray data = f.readAll();
            std::fprintf(stderr, "%s\n", qPrintable(path));
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t *>(data.constData()),
                                   std::size_t(data.size()));
            ++files;
        }
    }
    std::printf("%d inputs, every property held\n", files);
    return files > 0 ? 0 : 1;
}
