// The Windows command-line splitter together with the queue's quoting: whatever an address and
// a destination hold, the converter's command line splits back into exactly those two as single
// arguments; any command line splits into arguments that quote and split back unchanged.
//
// Input: one mode byte, one length byte, then text (UTF-8 for an even mode, raw UTF-16 units
// for an odd one, so that lone surrogates and NUL occur too). The address is the first <length>
// characters of the text, the output path the rest; the whole text is also split as a command
// line of its own.

#include "fuzzsupport.h"

#include "download/queue.h"
#include "platform/cmdline.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzsupport::TInput input(data, size);
    const std::uint8_t mode = input.Byte();
    const std::uint8_t length = input.Byte();
    const QByteArray bytes = input.Rest();
    const QString text = (mode & 1) ? fuzzsupport::Utf16Units(bytes) : fuzzsupport::Utf8(bytes);
    const QString url = text.left(length);
    const QString output = text.mid(url.size());

    const QString commandLine = TDownloadQueue::ConverterCommandLine(url, output);
    const QStringList expected = {QStringLiteral("ffmpeg.exe"),
                                  QStringLiteral("-i"),
                                  url,
                                  QStringLiteral("-c"),
                                  QStringLiteral("copy"),
                                  QStringLiteral("-bsf:a"),
                                  QStringLiteral("aac_adtstoasc"),
                                  output};
    FUZZ_CHECK_EQ(platform::SplitCommandLine(commandLine), expected);

    // The queue always quotes; the platform's quoting only where needed. Both split back.
    FUZZ_CHECK(TDownloadQueue::QuoteArgument(url).startsWith(QLatin1Char('"')));
    FUZZ_CHECK_EQ(platform::SplitCommandLine(QStringLiteral("prog -i ") +
                                             platform::QuoteArgument(url) + QStringLiteral(" -x ") +
                                             platform::QuoteArgument(output)),
                  (QStringList{QStringLiteral("prog"), QStringLiteral("-i"), url,
                               QStringLiteral("-x"), output}));

    // Any line: its arguments after the program, quoted and joined again, split the same.
    const QStringList arguments = platform::SplitCommandLine(text);
    if (!arguments.isEmpty()) {
        QString again = QStringLiteral("prog");
        for (qsizetype i = 1; i < arguments.size(); ++i)
            again += QLatin1Char(' ') + platform::QuoteArgument(arguments[i]);
        QStringList expectedAgain = arguments;
        expectedAgain[0] = QStringLiteral("prog");
        FUZZ_CHECK_EQ(platform::SplitCommandLine(again), expectedAgain);
    }
    // A line of blanks only has no arguments; any other line has a program.
    bool blanksOnly = true;
    for (const QChar c : text)
        blanksOnly = blanksOnly && (c == QLatin1Char(' ') || c == QLatin1Char('\t'));
    FUZZ_CHECK_EQ(arguments.isEmpty(), blanksOnly);
    return 0;
}
