// The form encoder: whatever the field lines hold, a standard
// application/x-www-form-urlencoded decoder gives back every name and value, in order.
//
// Input: a mode byte, then the fields, each a length byte and that many bytes (UTF-8 for an
// even mode, raw UTF-16 units for an odd one).

#include "fuzzsupport.h"

#include "webservice/postform.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace {

using TPairs = std::vector<std::pair<QString, QString>>;

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The HTML form decoding: pairs split at "&", name and value at the first "=", "+" is a blank,
// %XX a byte, and the bytes UTF-8.
QString DecodeComponent(const QByteArray& part) {
    QByteArray bytes;
    for (qsizetype i = 0; i < part.size(); ++i) {
        const char c = part[i];
        if (c == '+') {
            bytes += ' ';
        } else if (c == '%' && i + 2 < part.size() && HexValue(part[i + 1]) >= 0 &&
                   HexValue(part[i + 2]) >= 0) {
            bytes += char(HexValue(part[i + 1]) * 16 + HexValue(part[i + 2]));
            i += 2;
        } else {
            bytes += c;
        }
    }
    return fuzzsupport::Utf8(bytes);
}

TPairs DecodeBody(const QByteArray& body) {
    TPairs pairs;
    if (body.isEmpty())
        return pairs;
    for (const QByteArray& pair : body.split('&')) {
        const qsizetype eq = pair.indexOf('=');
        pairs.emplace_back(DecodeComponent(eq < 0 ? pair : pair.left(eq)),
                           eq < 0 ? QString() : DecodeComponent(pair.mid(eq + 1)));
    }
    return pairs;
}

std::string ShowPairs(const TPairs& pairs) {
    std::string out;
    for (const auto& [name, value] : pairs)
        out += fuzzsupport::Show(name) + "=" + fuzzsupport::Show(value) + " ";
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    const std::uint8_t mode = input.Byte();
    QStringList fields;
    TPairs expected;
    while (!input.Empty()) {
        const QByteArray bytes = input.Bytes(input.Byte());
        QString field = (mode & 1) ? fuzzsupport::Utf16Units(bytes) : fuzzsupport::Utf8(bytes);
        // Lone surrogates can't be sent as UTF-8 at all; they go as replacement characters.
        if (!fuzzsupport::IsWellFormed(field))
            field = fuzzsupport::Utf8(field.toUtf8());
        const qsizetype eq = field.indexOf(QLatin1Char('='));
        expected.emplace_back(eq < 0 ? field : field.left(eq),
                              eq < 0 ? QString() : field.mid(eq + 1));
        fields.append(field);
    }

    const QByteArray body = EncodeFormBody(fields);
    // Only unreserved characters, escapes and the separators.
    for (const char c : body) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '*' || c == '-' || c == '.' || c == '_' ||
                           c == '%' || c == '+' || c == '&' || c == '=';
        FUZZ_CHECK(plain);
    }
    const TPairs decoded = DecodeBody(body);
    if (decoded != expected)
        fuzzsupport::Fail("decoded == expected", __FILE__, __LINE__,
                          "  body:     " + fuzzsupport::Show(body) + "\n  decoded:  " +
                              ShowPairs(decoded) + "\n  expected: " + ShowPairs(expected));
    return 0;
}
