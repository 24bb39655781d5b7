// The INI layer on any file and any section, key and value: reads never fail, a refused write
// leaves the file byte for byte as it was, and an accepted write changes the key's own line
// only (or adds it, with its section when that is missing) and reads back as written.
//
// Input: section NUL key NUL value NUL file-bytes. Without three NULs the whole input is the
// file, written with a fixed section, key and value.

#include "fuzzsupport.h"

#include "platform/inifile.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

#include <cstdint>
#include <vector>

namespace {

using fuzzsupport::Show;

QByteArray ReadBytes(const QString& path) {
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile::remove(path);
    QFile file(path);
    FUZZ_CHECK(file.open(QIODevice::WriteOnly));
    FUZZ_CHECK(file.write(bytes) == bytes.size());
}

bool IsBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString Trimmed(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && IsBlank(s.at(b)))
        ++b;
    while (e > b && IsBlank(s.at(e - 1)))
        --e;
    return s.mid(b, e - b);
}

bool HasBreakOrNul(const QString& s) {
    return s.contains(QLatin1Char('\n')) || s.contains(QLatin1Char('\r')) ||
           s.contains(QChar(u'\0'));
}

// A file's lines as raw bytes, cut the plain way: the file's byte-order mark first (kept as the
// prefix), then at every LF code unit, one CR before the LF going with the break. The line text
// is compared without its break, so a last line that gains one still counts as unchanged.
struct TSplit {
    QByteArray Prefix;
    std::vector<QByteArray> Lines;
    int Unit = 1;
    bool BigEndian = false;

    QString Text(const QByteArray& line) const {
        if (Unit == 1) {
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                          QStringDecoder::Flag::ConvertInitialBom);
            const QString text = utf8.decode(line);
            return utf8.hasError() ? QString::fromLatin1(line) : text;
        }
        QString text;
        for (qsizetype i = 0; i + 1 < line.size(); i += 2) {
            const unsigned a = uchar(line[i]), b = uchar(line[i + 1]);
            text.append(QChar(char16_t(BigEndian ? (a << 8 | b) : (b << 8 | a))));
        }
        return text;
    }
};

TSplit SplitLines(const QByteArray& raw) {
    TSplit split;
    int unit = 1;
    bool bigEndian = false;
    if (raw.startsWith("\xFF\xFE")) {
        unit = 2;
        split.Prefix = raw.left(2);
    } else if (raw.startsWith("\xFE\xFF")) {
        unit = 2;
        bigEndian = true;
        split.Prefix = raw.left(2);
    } else if (raw.startsWith("\xEF\xBB\xBF")) {
        split.Prefix = raw.left(3);
    }
    split.Unit = unit;
    split.BigEndian = bigEndian;
    auto codeAt = [&](qsizetype at) -> unsigned {
        if (unit == 1)
            return uchar(raw[at]);
        const unsigned a = uchar(raw[at]), b = uchar(raw[at + 1]);
        return bigEndian ? (a << 8 | b) : (b << 8 | a);
    };
    // In UTF-16 an odd last byte is no character and belongs to no line.
    const qsizetype size = raw.size() - (raw.size() - split.Prefix.size()) % unit;
    qsizetype start = split.Prefix.size();
    qsizetype at = start;
    while (at + unit <= size) {
        if (codeAt(at) == '\n') {
            qsizetype end = at;
            if (end - unit >= start && codeAt(end - unit) == '\r')
                end -= unit;
            split.Lines.push_back(raw.mid(start, end - start));
            start = at + unit;
        }
        at += unit;
    }
    if (start < size) {
        // A CR that ends the file is a line break cut short.
        const qsizetype end =
            size - unit >= start && codeAt(size - unit) == '\r' ? size - unit : size;
        split.Lines.push_back(raw.mid(start, end - start));
    }
    return split;
}

// The before and after files differ by one replaced line (which was the key's), one inserted
// line, or two lines (a section and its key) added at the end, or not at all.
void CheckOnlyOwnLineChanged(const QByteArray& before, const QByteArray& after,
                             const QString& key) {
    const TSplit b = SplitLines(before), a = SplitLines(after);
    FUZZ_CHECK_EQ(a.Prefix, b.Prefix);
    const std::size_t nb = b.Lines.size(), na = a.Lines.size();
    std::size_t head = 0;
    while (head < nb && head < na && a.Lines[head] == b.Lines[head])
        ++head;
    std::size_t tail = 0;
    while (tail < nb - head && tail < na - head && a.Lines[na - 1 - tail] == b.Lines[nb - 1 - tail])
        ++tail;
    const std::size_t removed = nb - head - tail, added = na - head - tail;
    const bool unchanged = removed == 0 && added == 0; // the line read so already
    const bool replaced = removed == 1 && added == 1;
    const bool inserted = removed == 0 && added == 1;
    const bool appendedSection = removed == 0 && added == 2 && tail == 0;
    if (!(unchanged || replaced || inserted || appendedSection)) {
        std::string what = "  lines before " + std::to_string(nb) + ", after " +
                           std::to_string(na) + ", same at the start " + std::to_string(head) +
                           ", same at the end " + std::to_string(tail) + "\n";
        for (std::size_t i = head; i < nb - tail && i < head + 4; ++i)
            what += "  before: " + Show(b.Lines[i]) + "\n";
        for (std::size_t i = head; i < na - tail && i < head + 4; ++i)
            what += "  after:  " + Show(a.Lines[i]) + "\n";
        fuzzsupport::Fail("only the key's own line changes", __FILE__, __LINE__, what);
    }
    if (replaced) {
        const QString old = b.Text(b.Lines[head]);
        const qsizetype eq = old.indexOf(QLatin1Char('='));
        FUZZ_CHECK(eq > 0);
        FUZZ_CHECK_EQ(Trimmed(old.left(eq)).toCaseFolded(), key.toCaseFolded());
    }
}

QString CutAsRead(QString value) {
    if (value.size() > platform::MaxProfileValueLength) {
        value.truncate(platform::MaxProfileValueLength);
        if (value.back().isHighSurrogate())
            value.chop(1);
    }
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    QByteArray sectionBytes, keyBytes, valueBytes;
    QString section = QStringLiteral("Settings"), key = QStringLiteral("Destination"),
            value = QStringLiteral("/home/user/Videos");
    if (input.UpToNul(sectionBytes) && input.UpToNul(keyBytes) && input.UpToNul(valueBytes)) {
        section = fuzzsupport::Utf8(sectionBytes);
        key = fuzzsupport::Utf8(keyBytes);
        value = fuzzsupport::Utf8(valueBytes);
    } else {
        input = fuzzsupport::TInput(data, size);
    }
    const QByteArray before = input.Rest();

    const QString path = QDir(fuzzsupport::ScratchDir()).filePath(QStringLiteral("settings.ini"));
    WriteBytes(path, before);

    // Reads take names as they come; any answer is fine, as long as it is within the limit.
    const QString missing = QStringLiteral("\x01missing");
    FUZZ_CHECK(platform::ReadProfileString(path, section, key, missing).size() <=
               platform::MaxProfileValueLength);

    const QString tSection = Trimmed(section), tKey = Trimmed(key);
    const bool storable = !tSection.isEmpty() && !tKey.isEmpty() && !HasBreakOrNul(tSection) &&
                          !HasBreakOrNul(tKey) && !HasBreakOrNul(value) &&
                          !tSection.contains(QLatin1Char(']')) &&
                          !tKey.contains(QLatin1Char('=')) && !tKey.startsWith(QLatin1Char('[')) &&
                          !tKey.startsWith(QLatin1Char(';')) && !tKey.startsWith(QLatin1Char('#'));
    bool refused = false;
    try {
        platform::WriteProfileString(path, section, key, value);
    } catch (const EIniFileException&) {
        refused = true;
    }
    const QByteArray after = ReadBytes(path);
    FUZZ_CHECK_EQ(refused, !storable);
    if (refused) {
        FUZZ_CHECK_EQ(after, before);
        return 0;
    }

    FUZZ_CHECK_EQ(platform::ReadProfileString(path, tSection, tKey, missing), CutAsRead(value));
    CheckOnlyOwnLineChanged(before, after, tKey);

    // Writing the same again changes nothing more.
    platform::WriteProfileString(path, section, key, value);
    FUZZ_CHECK_EQ(ReadBytes(path), after);
    return 0;
}
