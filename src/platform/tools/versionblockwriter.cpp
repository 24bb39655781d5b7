#include "versionblockwriter.h"

#include <stdexcept>

namespace versionblock {

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}

void Put32(Bytes& out, std::uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void Pad4(Bytes& out) {
    while (out.size() % 4 != 0)
        out.push_back(0);
}

// One node: wLength, wValueLength, wType, the key with its terminator, padding, the value,
// then each child on a 32-bit boundary. wLength leaves out the padding after the last child.
Bytes Node(const std::u16string& key, std::uint16_t type, const Bytes& value,
           std::uint16_t valueLength, const std::vector<Bytes>& children) {
    Bytes out;
    Put16(out, 0);
    Put16(out, valueLength);
    Put16(out, type);
    for (char16_t c : key)
        Put16(out, c);
    Put16(out, 0);
    Pad4(out);
    out.insert(out.end(), value.begin(), value.end());
    for (const Bytes& child : children) {
        Pad4(out);
        out.insert(out.end(), child.begin(), child.end());
    }
    if (out.size() > 0xFFFF)
        throw std::length_error("version block node longer than 65535 bytes");
    out[0] = static_cast<std::uint8_t>(out.size() & 0xFF);
    out[1] = static_cast<std::uint8_t>(out.size() >> 8);
    return out;
}

} // namespace

Bytes Build(const TBlock& block) {
    Bytes fixed;
    const TFixedInfo& f = block.Fixed;
    for (std::uint32_t v : {0xFEEF04BDu, 0x00010000u, f.FileVersionMS, f.FileVersionLS,
                            f.ProductVersionMS, f.ProductVersionLS, f.FileFlagsMask, f.FileFlags,
                            f.FileOS, f.FileType, f.FileSubtype, 0u, 0u})
        Put32(fixed, v);

    std::vector<Bytes> tables;
    for (const TStringTable& table : block.Tables) {
        std::vector<Bytes> strings;
        for (const auto& [name, text] : table.Strings) {
            Bytes value;
            for (char16_t c : text)
                Put16(value, c);
            Put16(value, 0);
            strings.push_back(
                Node(name, 1, value, static_cast<std::uint16_t>(text.size() + 1), {}));
        }
        tables.push_back(Node(table.Key, 1, {}, 0, strings));
    }

    std::vector<Bytes> children;
    if (!tables.empty())
        children.push_back(Node(u"StringFileInfo", 1, {}, 0, tables));
    if (!block.Translations.empty()) {
        Bytes pairs;
        for (auto [language, codePage] : block.Translations) {
            Put16(pairs, language);
            Put16(pairs, codePage);
        }
        Bytes var = Node(u"Translation", 0, pairs, static_cast<std::uint16_t>(pairs.size()), {});
        children.push_back(Node(u"VarFileInfo", 1, {}, 0, {var}));
    }
    return Node(u"VS_VERSION_INFO", 0, fixed, static_cast<std::uint16_t>(fixed.size()), children);
}

bool ParseVersion(const std::string& text, std::uint32_t& ms, std::uint32_t& ls) {
    std::uint32_t parts[4] = {};
    std::size_t part = 0;
    bool digit = false;
    for (char c : text) {
        if (c == '.') {
            if (!digit || ++part == 4)
                return false;
            digit = false;
        } else if (c >= '0' && c <= '9') {
            parts[part] = parts[part] * 10 + static_cast<std::uint32_t>(c - '0');
            if (parts[part] > 0xFFFF)
                return false;
            digit = true;
        } else {
            return false;
        }
    }
    if (!digit)
        return false;
    ms = parts[0] << 16 | parts[1];
    ls = parts[2] << 16 | parts[3];
    return true;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        std::uint32_t cp;
        std::size_t n;
        if (b < 0x80) {
            cp = b;
            n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            n = 3;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            n = 4;
        } else {
            throw std::invalid_argument("text is not UTF-8");
        }
        if (i + n > text.size())
            throw std::invalid_argument("text is not UTF-8");
        for (std::size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80)
                throw std::invalid_argument("text is not UTF-8");
            cp = cp << 6 | (c & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += n;
    }
    return out;
}

} // namespace versionblock
