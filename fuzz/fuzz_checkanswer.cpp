// The update check's reading of the service's answer: the lines of any body, the tag values in
// them, and the numbers and versions that decide whether a notification is due.
//
// Input: a mode byte, then the body (UTF-8 for an even mode, raw UTF-16 units for an odd one).

#include "fuzzsupport.h"

#include "webservice/check.h"

#include <cstdint>

namespace {

// The lines cut the plain way: at CR LF, LF or CR; a break at the very end adds no empty line.
QStringList ReferenceLines(const QString& body) {
    QString normal = body;
    normal.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    normal.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    if (normal.isEmpty())
        return {};
    QStringList lines = normal.split(QLatin1Char('\n'));
    if (normal.endsWith(QLatin1Char('\n')))
        lines.removeLast();
    return lines;
}

// An optional sign and 1 or more decimal digits, within the 32-bit range.
bool ReferenceInt32(const QString& text, int& value) {
    qsizetype i = 0;
    if (!text.isEmpty() && (text[0] == QLatin1Char('+') || text[0] == QLatin1Char('-')))
        i = 1;
    if (i == text.size())
        return false;
    for (qsizetype j = i; j < text.size(); ++j)
        if (text[j] < QLatin1Char('0') || text[j] > QLatin1Char('9'))
            return false;
    QString digits = text.mid(i);
    while (digits.size() > 1 && digits[0] == QLatin1Char('0'))
        digits.remove(0, 1);
    if (digits.size() > 10)
        return false;
    const qint64 magnitude = digits.toLongLong();
    const qint64 signedValue = text[0] == QLatin1Char('-') ? -magnitude : magnitude;
    if (signedValue < -2147483648LL || signedValue > 2147483647LL)
        return false;
    value = int(signedValue);
    return true;
}

void CheckTag(const QString& line, const QString& tag) {
    const QString value = GetTagValue(line, tag);
    const QString open = QLatin1Char('<') + tag + QLatin1Char('>');
    const QString close = QLatin1String("</") + tag + QLatin1Char('>');
    const bool framed =
        line.size() >= open.size() + close.size() && line.startsWith(open) && line.endsWith(close);
    if (framed)
        FUZZ_CHECK_EQ(value, line.mid(open.size(), line.size() - open.size() - close.size()));
    else
        FUZZ_CHECK(value.isEmpty());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    const std::uint8_t mode = input.Byte();
    const QByteArray bytes = input.Rest();
    const QString body = (mode & 1) ? fuzzsupport::Utf16Units(bytes) : fuzzsupport::Utf8(bytes);

    const QStringList lines = SplitAnswerLines(body);
    FUZZ_CHECK_EQ(lines, ReferenceLines(body));

    for (const QString& line : lines) {
        for (const QString& tag : {QStringLiteral("version"), QStringLiteral("url"),
                                   QStringLiteral("result"), QStringLiteral("important")})
            CheckTag(line, tag);

        int value = 0, expected = 0;
        const bool parsed = TryStrToInt32(line, value);
        FUZZ_CHECK_EQ(parsed, ReferenceInt32(line, expected));
        if (parsed)
            FUZZ_CHECK_EQ(value, expected);

        // A version is announced when it differs from ours and its digits, dots left out, are
        // a number.
        for (const QString& current : {QStringLiteral("1.3"), line}) {
            int number = 0;
            const bool announced =
                line != current && ReferenceInt32(QString(line).remove(QLatin1Char('.')), number);
            FUZZ_CHECK_EQ(IsAnnouncedVersion(line, current), announced);
        }
    }
    // The tag itself, not only the line, may come from anywhere.
    if (lines.size() >= 2)
        (void)GetTagValue(lines[0], lines[1]);
    return 0;
}
