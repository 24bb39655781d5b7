#include "fuzzsupport.h"

#include <QStringDecoder>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fuzzsupport {

QString Utf8(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    return decoder.decode(bytes);
}

QString Utf16Units(const QByteArray& bytes) {
    QString text;
    text.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(char16_t(uchar(bytes[i]) | uchar(bytes[i + 1]) << 8)));
    return text;
}

bool IsWellFormed(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate()) {
            if (i + 1 == text.size() || !text.at(i + 1).isLowSurrogate())
                return false;
            ++i;
        } else if (c.isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

std::string Show(const QString& text) {
    std::string out = "\"";
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u < 0x7F && u != '"' && u != '\\') {
            out += char(u);
        } else {
            char escape[16];
            std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(u));
            out += escape;
        }
    }
    return out + "\"";
}

std::string Show(const QByteArray& bytes) {
    std::string out = "b\"";
    for (const char ch : bytes) {
        const auto b = uchar(ch);
        if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
            out += char(b);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", unsigned(b));
            out += escape;
        }
    }
    return out + "\"";
}

std::string Show(const QStringList& list) {
    std::string out = "[";
    for (qsizetype i = 0; i < list.size(); ++i)
        out += (i ? ", " : "") + Show(list[i]);
    return out + "]";
}

void Fail(const char* condition, const char* file, int line, const std::string& what) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n%s%s", file, line, condition, what.c_str(),
                 what.empty() ? "" : "\n");
    std::fflush(stderr);
    std::abort();
}

QString ScratchDir() {
    // Made on first use and kept for the process's life; its destructor removes it at exit.
    static const std::unique_ptr<QTemporaryDir> dir = [] {
        auto made = std::make_unique<QTemporaryDir>();
        if (!made->isValid())
            Fail("a scratch folder", __FILE__, __LINE__, made->errorString().toStdString());
        return made;
    }();
    return dir->path();
}

} // namespace fuzzsupport
