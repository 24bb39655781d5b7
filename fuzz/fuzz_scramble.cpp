// The stored download address's scrambling: any text unscrambles without fault, scrambled text
// is upper-case hexadecimal that unscrambles to the original (in either letter case), and valid
// scrambled text scrambles back to itself.
//
// Input: two seed bytes, a mode byte, then the text (UTF-8 for an even mode, raw UTF-16 units
// for an odd one).

#include "fuzzsupport.h"

#include "webservice/check.h"

#include <cstdint>

namespace {

bool IsUpperHex(const QString& text) {
    for (const QChar c : text)
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    const quint16 seed = quint16(input.Byte() | input.Byte() << 8);
    const std::uint8_t mode = input.Byte();
    const QByteArray bytes = input.Rest();
    const QString text = (mode & 1) ? fuzzsupport::Utf16Units(bytes) : fuzzsupport::Utf8(bytes);

    // Pairs of hexadecimal digits in either case; an odd last character is not read.
    const QString unscrambled = UnscrambleText(text, seed);
    const QString upper = text.toUpper();
    const QString paired = upper.left(upper.size() & ~qsizetype(1));
    if (!IsUpperHex(paired))
        FUZZ_CHECK(unscrambled.isEmpty());
    else if (!unscrambled.contains(QChar::ReplacementCharacter))
        // Bytes that are UTF-8 come back as they were.
        FUZZ_CHECK_EQ(ScrambleText(unscrambled, seed), paired);

    const QString scrambled = ScrambleText(text, seed);
    FUZZ_CHECK(IsUpperHex(scrambled));
    FUZZ_CHECK_EQ(scrambled.size(), text.toUtf8().size() * 2);
    if (fuzzsupport::IsWellFormed(text)) {
        FUZZ_CHECK_EQ(UnscrambleText(scrambled, seed), text);
        FUZZ_CHECK_EQ(UnscrambleText(scrambled.toLower(), seed), text);
    }
    return 0;
}
