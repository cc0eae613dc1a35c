// Any bytes as the settings file, of any length, with or without a line end: the start-up read
// takes the first line without its line end, and what is written back reads back the same.

#include "config/Settings.h"
#include "fuzz/Check.h"

#include <QFile>
#include <QTemporaryDir>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    static QTemporaryDir dir;
    const QByteArray content(reinterpret_cast<const char *>(bytes), qsizetype(size));
    QFile f(SettingsFilePath(dir.path()));
    FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    FUZZ_CHECK(f.write(content) == content.size());
    f.close();

    QString LastHexFile = QStringLiteral("kept");
    ReadLastHexFile(dir.path(), LastHexFile);
    QByteArray first =
        content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n'));
    while (first.endsWith('\r'))
        first.chop(1);
    FUZZ_CHECK(LastHexFile ==
               (content.isEmpty() ? QStringLiteral("kept") : QString::fromLocal8Bit(first)));

    FUZZ_CHECK(WriteLastHexFile(dir.path(), LastHexFile));
    QString again;
    ReadLastHexFile(dir.path(), again);
    FUZZ_CHECK(again == LastHexFile);
    return 0;
}
