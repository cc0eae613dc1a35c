#include "transfer/HexImage.h"

#include "protocol/Frames.h"

#include <QFile>
#include <array>
#include <memory>
#include <vector>

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Hex field at 1-based position pos with the given number of digits; digits beyond the end of the
// line, and anything that is not a hex digit, read as 0.
std::uint32_t hexField(const QByteArray &line, int pos, int digits) {
    std::uint32_t v = 0;
    for (int i = 0; i < digits; ++i) {
        const int idx = pos - 1 + i;
        const int d = idx < line.size() ? hexDigit(line[idx]) : -1;
        v = v * 16 + std::uint32_t(d < 0 ? 0 : d);
    }
    return v;
}

// Blanks, tabs, and the Ctrl-Z end mark that DOS tools put behind the last line.
bool isBlank(const QByteArray &line) {
    for (char c : line)
        if (c != ' ' && c != '\t' && c != '\x1A') return false;
    return true;
}

QString at(int lineNo, const QString &what) {
    return QStringLiteral("Zeile %1: %2").arg(lineNo).arg(what);
}

QString hex6(std::int64_t address) {
    return QStringLiteral("%1").arg(address, 6, 16, QLatin1Char('0')).toUpper();
}

// One bit per address of the 24-bit space the instrument can take, kept for the 64 KiB pages
// written to.
class WrittenMap {
public:
    WrittenMap() : pages_((Frames::MaxAddress + 1) >> 16) {}
    bool testAndSet(std::uint32_t a) {
        auto &page = pages_[a >> 16];
        if (!page) page = std::make_unique<std::array<std::uint64_t, 1024>>();
        std::uint64_t &w = (*page)[(a & 0xFFFF) >> 6];
        const std::uint64_t m = std::uint64_t(1) << (a & 63);
        const bool was = (w & m) != 0;
        w |= m;
        return was;
    }

private:
    std::vector<std::unique_ptr<std::array<std::uint64_t, 1024>>> pages_;
};

struct Span {
    std::int64_t first;
    std::int64_t last;
    int line;
};

} // namespace

QList<QByteArray> SplitLines(const QByteArray &content) {
    QList<QByteArray> lines = content.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast(); // the line end of the last line, or an empty file
    for (QByteArray &l : lines)
        if (l.endsWith('\r')) l.chop(1);
    return lines;
}

bool ReadImageFile(const QString &path, QList<QByteArray> &lines, QString &error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error = f.errorString();
        return false;
    }
    const QByteArray content = f.readAll();
    if (f.error() != QFileDevice::NoError) {
        error = f.errorString();
        return false;
    }
    lines = SplitLines(content);
    return true;
}

ParsedImage ParseImage(const QList<QByteArray> &lines) {
    ParsedImage image;
    if (lines.isEmpty()) {
        image.problem = QStringLiteral("Die Datei ist leer.");
        return image;
    }
    // The first fault found names its line; the lines after it are still decoded.
    auto fault = [&image](int no, const QString &what) {
        if (image.problem.isEmpty()) image.problem = at(no, what);
    };

    WrittenMap written;
    std::vector<Span> spans;
    std::int64_t base = 0;
    bool sawEnd = false, anyData = false;
    image.records.reserve(lines.size());

    for (int i = 0; i < lines.size(); ++i) {
        const int no = i + 1;
        const QByteArray &line = lines[i];
        if (isBlank(line)) {
            // Read as a record of no bytes at the base: it adds nothing, but cuts a block.
            image.records.append({base, {}, 0, no});
            continue;
        }
        // Editors leave blanks behind the checksum; the reader never looks there.
        qsizetype used = line.size();
        while (line[used - 1] == ' ' || line[used - 1] == '\t')
            --used;
        qsizetype lead = 0;
        while (line[lead] == ' ' || line[lead] == '\t')
            ++lead;
        image.recordLines += line[lead] == ':';

        // The line's bytes, each read once from its two digits.
        std::array<std::uint8_t, 261> bytes{};
        bool wellFormed = line[0] == ':';
        if (!wellFormed) fault(no, QStringLiteral("beginnt nicht mit \":\"."));
        for (qsizetype k = 1; wellFormed && k < used; ++k) {
            const int d = hexDigit(line[k]);
            if (d >= 0) {
                const std::size_t b = std::size_t(k - 1) / 2;
                if (b < bytes.size()) bytes[b] = std::uint8_t(bytes[b] | (k % 2 ? d << 4 : d));
                continue;
            }
            fault(no, QStringLiteral("Zeichen \"%1\" an Stelle %2 ist keine Hexziffer.")
                          .arg(QString::fromLatin1(line.mid(k, 1)))
                          .arg(k + 1));
            wellFormed = false;
        }
        const int digits = int(used) - 1;
        if (wellFormed && digits % 2 != 0) {
            fault(no, QStringLiteral("ungerade Anzahl von Hexziffern."));
            wellFormed = false;
        }
        const int count = wellFormed ? bytes[0] : int(hexField(line, 2, 2));
        if (wellFormed && (digits / 2 < 5 || digits / 2 != count + 5)) {
            fault(no, QStringLiteral("Länge passt nicht zur Byteanzahl."));
            wellFormed = false;
        }
        if (wellFormed) {
            unsigned sum = 0;
            for (int b = 0; b < count + 5; ++b)
                sum += bytes[std::size_t(b)];
            if (sum % 256 != 0) {
                fault(no, QStringLiteral("Prüfsumme falsch."));
                wellFormed = false;
            }
        }
        // A line that is not well-formed is read as a lenient reader would, field by field.
        auto field = [&](int pos, int n) {
            if (!wellFormed) return hexField(line, pos, n);
            std::uint32_t v = 0;
            for (int i = 0; i < n / 2; ++i)
                v = v << 8 | bytes[std::size_t((pos - 2) / 2 + i)];
            return v;
        };

        const std::uint32_t offset = field(4, 4);
        const int type = int(field(8, 2));
        switch (type) {
        case 1:
            if (wellFormed && (count != 0 || offset != 0)) {
                fault(no, QStringLiteral("Ende-Satz ist fehlerhaft."));
                wellFormed = false;
            }
            sawEnd = sawEnd || wellFormed;
            continue; // the end record ends nothing: the lines behind it are read too
        case 2:
        case 4:
            if (wellFormed && count != 2)
                fault(no, QStringLiteral("Adresssatz muss genau 2 Datenbytes haben."));
            else if (wellFormed && offset != 0)
                fault(no, QStringLiteral("Adresssatz mit Adressfeld ungleich 0000."));
            base = std::int64_t(field(10, 4)) << (type == 2 ? 4 : 16);
            continue;
        case 3:
        case 5:
            continue; // start addresses carry no flash data
        case 0:
            break;
        default:
            if (wellFormed)
                fault(no, QStringLiteral("unbekannter Satztyp %1.")
                              .arg(QString::number(type, 16)
                                       .rightJustified(2, QLatin1Char('0'))
                                       .toUpper()));
            continue;
        }

        ImageRecord record{base + offset, {}, 0, no};
        record.data.resize(count);
        for (int k = 0; k < count; ++k) {
            const std::uint32_t b = field(10 + 2 * k, 2);
            record.sum += long(b);
            record.data[k] = char(b);
        }
        if (wellFormed && count > 0) {
            const std::int64_t first = record.address, last = first + count - 1;
            if (last > Frames::MaxAddress) {
                fault(no, QStringLiteral("Adresse %1 liegt über FFFFFF.")
                              .arg(hex6(std::max(first, Frames::MaxAddress + 1))));
            } else {
                for (std::int64_t a = first; a <= last; ++a) {
                    if (!written.testAndSet(std::uint32_t(a))) continue;
                    int earlier = 0;
                    for (auto s = spans.rbegin(); s != spans.rend() && earlier == 0; ++s)
                        if (a >= s->first && a <= s->last) earlier = s->line;
                    fault(no, QStringLiteral("Adresse %1 wurde schon in Zeile %2 beschrieben.")
                                  .arg(hex6(a))
                                  .arg(earlier));
                    break;
                }
                spans.push_back({first, last, no});
                anyData = true;
            }
        }
        image.records.append(std::move(record));
    }
    if (!sawEnd)
        fault(int(lines.size()), QStringLiteral("Ende-Satz fehlt, die Datei ist unvollständig."));
    // Erasing the flash for nothing would leave the instrument without firmware.
    if (image.problem.isEmpty() && !anyData)
        image.problem = QStringLiteral("Die Datei enthält keine Datenbytes.");
    return image;
}
