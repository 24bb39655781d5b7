// The line assembly fed the same text in random batches: every character comes out exactly once
// (to the character handler), lines end only at CR, LF or CR LF, a CR LF counts once even when
// a batch boundary falls between the two, and the lines do not depend on where the batches
// were cut.
//
// Input: a flags byte (bit 0: character handler, bit 1: line handler, bit 2: OutputLines
// mirror, bit 3: a stop arrives after the number of questions in the next byte), a count byte
// n, n batch lengths (cycled; 0 gives an empty batch), then the text as Latin-1 bytes
// (0x80-0xFF stand for characters beyond Latin-1, so that both kinds of run occur).

#include "fuzzsupport.h"

#include "doscommand/lineassembly.h"

#include <cstdint>
#include <vector>

namespace {

class TRecorder : public TLineSink {
public:
    void DoNewChar(QChar AChar) override { Chars.append(AChar); }
    void DoLinesAdd(const QString& AStr) override { Lines.append(AStr); }
    void OutputLinesAppend(const QString& AStr) override { Output.append(AStr); }
    void OutputLinesReplace(const QString& AStr) override {
        FUZZ_CHECK(!Output.isEmpty());
        Output.last() = AStr;
    }
    void DoNewLine(const QString& AStr, TOutputType AOutputType) override {
        if (AOutputType == otEntireLine) {
            // An unfinished line shown before is completed by this one.
            if (!Partial.isEmpty())
                FUZZ_CHECK(AStr.startsWith(Partial));
            Entire.append(AStr);
            Partial.clear();
        } else {
            FUZZ_CHECK(!AStr.isEmpty());
            FUZZ_CHECK(AStr.startsWith(Partial));
            Partial = AStr;
        }
    }

    QString Chars;
    QStringList Lines, Output, Entire;
    QString Partial;
};

// The lines of the whole text at once, and what is left unfinished.
QStringList ReferenceLines(const QString& text, QString& pending, int& breaks) {
    QStringList lines;
    QString line;
    bool afterCR = false;
    breaks = 0;
    for (const QChar c : text) {
        if (c.unicode() == 0) {
            afterCR = false;
        } else if (c == QLatin1Char('\n') && afterCR) {
            afterCR = false;
        } else if (c == QLatin1Char('\n') || c == QLatin1Char('\r')) {
            lines.append(line);
            line.clear();
            ++breaks;
            afterCR = c == QLatin1Char('\r');
        } else {
            line.append(c);
            afterCR = false;
        }
    }
    pending = line;
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    const std::uint8_t flags = input.Byte();
    const bool stops = flags & 8;
    const int stopAfter = stops ? input.Byte() : 0;
    std::vector<int> lengths;
    for (int n = input.Byte(); n > 0 && !input.Empty(); --n)
        lengths.push_back(input.Byte());
    bool anyLength = false;
    for (const int length : lengths)
        anyLength = anyLength || length > 0;
    if (!anyLength)
        lengths.push_back(int(input.Left())); // otherwise the text would never be fed
    QString text;
    for (const char ch : input.Rest()) {
        const auto b = uchar(ch);
        text.append(b < 0x80 ? QChar(b) : QChar(char16_t(0x2500 + b)));
    }

    TLineAssembly::TOptions options;
    options.hasOnNewChar = flags & 1;
    options.hasOnNewLine = flags & 2;
    options.hasOutputLines = flags & 4;
    TRecorder sink;
    int questions = 0;
    int newOutputs = 0;
    TLineAssembly assembly(
        sink, options, [&] { return stops && ++questions > stopAfter; }, [&] { ++newOutputs; });

    qsizetype at = 0;
    for (std::size_t i = 0; at < text.size(); ++i) {
        const qsizetype cut = qMin<qsizetype>(lengths[i % lengths.size()], text.size() - at);
        assembly.AddBatch(QStringView(text).mid(at, cut));
        at += cut;
    }

    QString pending;
    int breaks = 0;
    const QStringList expected = ReferenceLines(text, pending, breaks);
    if (stops) {
        // A stop drops the rest of a batch: what was delivered is a beginning of the whole.
        FUZZ_CHECK(sink.Lines.size() <= expected.size());
        for (qsizetype i = 0; i < sink.Lines.size(); ++i)
            FUZZ_CHECK_EQ(sink.Lines[i], expected[i]);
        FUZZ_CHECK(text.startsWith(sink.Chars));
        return 0;
    }

    FUZZ_CHECK_EQ(assembly.Last(), pending);
    FUZZ_CHECK_EQ(sink.Lines, expected);
    FUZZ_CHECK_EQ(newOutputs, breaks);
    assembly.FinalFlush();
    QStringList all = expected;
    if (!pending.isEmpty())
        all.append(pending);
    FUZZ_CHECK_EQ(sink.Lines, all);
    FUZZ_CHECK(assembly.Last().isEmpty());
    FUZZ_CHECK_EQ(sink.Chars, options.hasOnNewChar ? text : QString());
    FUZZ_CHECK_EQ(sink.Entire, options.hasOnNewLine ? all : QStringList());
    FUZZ_CHECK_EQ(sink.Output, options.hasOutputLines ? all : QStringList());
    return 0;
}
