#include "transfer/HexImage.h"

#include "protocol/Frames.h"

#include <QFile>
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

// One bit per address of the 24-bit space the instrument can take.
class WrittenMap {
public:
    WrittenMap() : bits_((Frames::MaxAddress + 1) / 64, 0) {}
    bool testAndSet(std::uint32_t a) {
        std::uint64_t &w = bits_[a >> 6];
        const std::uint64_t m = std::uint64_t(1) << (a & 63);
        const bool was = (w & m) != 0;
        w |= m;
        return was;
    }

private:
    std::vector<std::uint64_t> bits_;
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

QString CheckImage(const QList<QByteArray> &lines) {
    if (lines.isEmpty()) return QStringLiteral("Die Datei ist leer.");

    WrittenMap written;
    std::vector<Span> spans;
    std::int64_t base = 0;
    bool sawEnd = false;

    bool anyData = false;

    for (int i = 0; i < lines.size(); ++i) {
        const int no = i + 1;
        if (isBlank(lines[i])) continue;
        // Editors leave blanks behind the checksum; the reader never looks there.
        qsizetype used = lines[i].size();
        while (lines[i][used - 1] == ' ' || lines[i][used - 1] == '\t')
            --used;
        const QByteArray line = lines[i].left(used);
        if (line[0] != ':') return at(no, QStringLiteral("beginnt nicht mit \":\"."));
        for (int k = 1; k < line.size(); ++k)
            if (hexDigit(line[k]) < 0)
                return at(no, QStringLiteral("Zeichen \"%1\" an Stelle %2 ist keine Hexziffer.")
                                  .arg(QString::fromLatin1(line.mid(k, 1)))
                                  .arg(k + 1));
        const int digits = int(line.size()) - 1;
        if (digits % 2 != 0) return at(no, QStringLiteral("ungerade Anzahl von Hexziffern."));
        const int bytes = digits / 2;
        if (bytes < 5 || bytes != int(hexField(line, 2, 2)) + 5)
            return at(no, QStringLiteral("Länge passt nicht zur Byteanzahl."));
        unsigned sum = 0;
        for (int b = 0; b < bytes; ++b)
            sum += hexField(line, 2 + 2 * b, 2);
        if (sum % 256 != 0) return at(no, QStringLiteral("Prüfsumme falsch."));

        const int count = int(hexField(line, 2, 2));
        const std::uint32_t offset = hexField(line, 4, 4);
        const int type = int(hexField(line, 8, 2));
        switch (type) {
        case 0: {
            if (count == 0) break;
            const std::int64_t first = base + offset;
            const std::int64_t last = first + count - 1;
            if (last > Frames::MaxAddress)
                return at(no, QStringLiteral("Adresse %1 liegt über FFFFFF.")
                                  .arg(hex6(std::max(first, Frames::MaxAddress + 1))));
            for (std::int64_t a = first; a <= last; ++a) {
                if (!written.testAndSet(std::uint32_t(a))) continue;
                int earlier = 0;
                for (auto s = spans.rbegin(); s != spans.rend() && earlier == 0; ++s)
                    if (a >= s->first && a <= s->last) earlier = s->line;
                return at(no, QStringLiteral("Adresse %1 wurde schon in Zeile %2 beschrieben.")
                                  .arg(hex6(a))
                                  .arg(earlier));
            }
            spans.push_back({first, last, no});
            anyData = true;
            break;
        }
        case 1:
            if (count != 0 || offset != 0)
                return at(no, QStringLiteral("Ende-Satz ist fehlerhaft."));
            sawEnd = true;
            break;
        case 2:
        case 4:
            if (count != 2)
                return at(no, QStringLiteral("Adresssatz muss genau 2 Datenbytes haben."));
            if (offset != 0)
                return at(no, QStringLiteral("Adresssatz mit Adressfeld ungleich 0000."));
            base = std::int64_t(hexField(line, 10, 4)) << (type == 2 ? 4 : 16);
            break;
        case 3:
        case 5:
            break; // start addresses carry no flash data
        default:
            return at(
                no,
                QStringLiteral("unbekannter Satztyp %1.")
                    .arg(QString::number(type, 16).rightJustified(2, QLatin1Char('0')).toUpper()));
        }
    }
    if (!sawEnd)
        return at(int(lines.size()),
                  QStringLiteral("Ende-Satz fehlt, die Datei ist unvollständig."));
    // Erasing the flash for nothing would leave the instrument without firmware.
    if (!anyData) return QStringLiteral("Die Datei enthält keine Datenbytes.");
    return QString();
}

RecordKind HexDecoder::DecodeLine(const QByteArray &line, TransferState &st, int &RecordLength) {
    const QByteArray prefix = line.left(9);
    if (prefix == ":02000002") {
        SegmentValue = hexField(line, 10, 4);
        LinearBase = false;
        return RecordKind::Segment;
    }
    if (prefix == ":00000001") return RecordKind::EndOfFile;
    // Types the lean prefix test does not know; a checked file is well-formed, so the type field
    // can be trusted here.
    if (line.size() >= 9 && line[0] == ':') {
        const std::uint32_t type = hexField(line, 8, 2);
        if (type == 4) {
            SegmentValue = hexField(line, 10, 4);
            LinearBase = true;
            return RecordKind::Linear;
        }
        if (type == 3 || type == 5) return RecordKind::StartAddress;
    }
    RecordLength = int(hexField(line, 2, 2));
    const std::uint32_t high = hexField(line, 4, 2);
    const std::uint32_t low = hexField(line, 6, 2);
    st.RecordAddress = base() + high * 256 + low;
    st.RecordSum = 0;
    st.RecordData.clear();
    st.RecordData.reserve(RecordLength);
    for (int k = 0; k < RecordLength; ++k) {
        const std::uint32_t b = hexField(line, 10 + 2 * k, 2);
        st.RecordSum += long(b);
        st.RecordData.append(char(b));
    }
    return RecordKind::Data;
}
