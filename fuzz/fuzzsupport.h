#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

// What the fuzz targets share: a reader that hands out the parts of one input, a check that
// stops the run with a readable report, and a scratch folder for targets that need real files.
// Each target is also built into a plain test that replays its corpus, so nothing here may
// depend on libFuzzer.
namespace fuzzsupport {

class TInput {
public:
    TInput(const std::uint8_t* data, std::size_t size) : FData(data), FSize(size) {}

    bool Empty() const { return FAt >= FSize; }
    std::size_t Left() const { return FSize - FAt; }

    // 0 once the input is used up.
    std::uint8_t Byte() { return FAt < FSize ? FData[FAt++] : 0; }

    QByteArray Bytes(std::size_t count) {
        count = count < Left() ? count : Left();
        const QByteArray out(reinterpret_cast<const char*>(FData + FAt), qsizetype(count));
        FAt += count;
        return out;
    }
    QByteArray Rest() { return Bytes(Left()); }

    // The bytes up to (not including) the next NUL, which is consumed; false, with nothing
    // consumed, when no NUL follows.
    bool UpToNul(QByteArray& out) {
        for (std::size_t i = FAt; i < FSize; ++i) {
            if (FData[i] == 0) {
                out = QByteArray(reinterpret_cast<const char*>(FData + FAt), qsizetype(i - FAt));
                FAt = i + 1;
                return true;
            }
        }
        return false;
    }

private:
    const std::uint8_t* FData;
    std::size_t FSize;
    std::size_t FAt = 0;
};

// Text from UTF-8 bytes, invalid sequences as replacement characters. Unlike QString::fromUtf8,
// keeps a leading U+FEFF: it is a character like any other here.
QString Utf8(const QByteArray& bytes);

// Text from raw bytes taken as UTF-16 little-endian code units, so that every code unit, lone
// surrogates and NUL included, can occur; an odd last byte is dropped.
QString Utf16Units(const QByteArray& bytes);

// Whether the text is well-formed UTF-16 (no lone surrogate), so that it survives UTF-8.
bool IsWellFormed(const QString& text);

// Printable forms for failure reports: control characters and non-ASCII as escapes.
std::string Show(const QString& text);
std::string Show(const QByteArray& bytes);
std::string Show(const QStringList& list);
template <typename T>
requires std::is_arithmetic_v<T> std::string Show(T value) {
    return std::to_string(value);
}

// Reports a failed check and aborts, so that libFuzzer keeps the input as a crash.
[[noreturn]] void Fail(const char* condition, const char* file, int line, const std::string& what);

// A folder of our own for the whole run, removed at exit. Under $TMPDIR (scripts/fuzz points
// that at memory-backed storage where there is some: the INI target syncs every write).
QString ScratchDir();

} // namespace fuzzsupport

#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition))                                                                          \
            ::fuzzsupport::Fail(#condition, __FILE__, __LINE__, std::string());                    \
    } while (0)

// Same, with the two values shown in the report.
#define FUZZ_CHECK_EQ(a, b)                                                                        \
    do {                                                                                           \
        const auto& fuzzA_ = (a);                                                                  \
        const auto& fuzzB_ = (b);                                                                  \
        if (!(fuzzA_ == fuzzB_))                                                                   \
            ::fuzzsupport::Fail(#a " == " #b, __FILE__, __LINE__,                                  \
                                "  left:  " + ::fuzzsupport::Show(fuzzA_) +                        \
                                    "\n  right: " + ::fuzzsupport::Show(fuzzB_));                  \
    } while (0)
