// The line assembly driven directly: batches in, deliveries out, in order.
#include "doscommand/lineassembly.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Shows control characters so that a failing comparison is readable.
std::string Show(const QString& text) {
    std::string out;
    for (QChar c : text) {
        switch (c.unicode()) {
        case 0:
            out += "\\0";
            break;
        case 10:
            out += "\\n";
            break;
        case 13:
            out += "\\r";
            break;
        default:
            out += QString(c).toStdString();
        }
    }
    return out;
}

// Records deliveries as "C:x" (character), "L:x" (Lines), "O+:x" / "O=:x" (OutputLines append /
// replace), "E:x" / "B:x" (OnNewLine, entire / beginning of line); and applies the two
// OutputLines updates to a list, as the main thread would.
class TRecorder final : public TLineSink {
public:
    std::vector<std::string> log;
    QStringList outputLines;
    void DoNewChar(QChar c) override { log.push_back("C:" + Show(QString(c))); }
    void DoLinesAdd(const QString& s) override { log.push_back("L:" + Show(s)); }
    void OutputLinesAppend(const QString& s) override {
        log.push_back("O+:" + Show(s));
        outputLines.append(s);
    }
    void OutputLinesReplace(const QString& s) override {
        log.push_back("O=:" + Show(s));
        outputLines[outputLines.size() - 1] = s;
    }
    void DoNewLine(const QString& s, TOutputType t) override {
        log.push_back((t == otEntireLine ? "E:" : "B:") + Show(s));
    }
};

using Log = std::vector<std::string>;

constexpr TLineAssembly::TOptions LinesOnly{false, true, false};
constexpr TLineAssembly::TOptions Everything{true, true, true};

struct Case {
    const char* name;
    TLineAssembly::TOptions options;
    std::vector<QString> batches;
    Log expected;
    QStringList outputLines = {};
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Batches : public ::testing::TestWithParam<Case> {};

TEST_P(Batches, DeliverInOrder) {
    const Case& c = GetParam();
    TRecorder sink;
    TLineAssembly assembly(sink, c.options, nullptr, nullptr);
    for (const QString& batch : c.batches)
        assembly.AddBatch(batch);
    assembly.FinalFlush();
    EXPECT_EQ(sink.log, c.expected);
    if (c.options.hasOutputLines) {
        EXPECT_EQ(sink.outputLines, c.outputLines);
    }
}

const QString NUL(QChar(0));

INSTANTIATE_TEST_SUITE_P(
    LineAssembly, Batches,
    ::testing::Values(
        Case{"UnfinishedLineCompletedLater",
             Everything,
             {"abc", "def\n"},
             {"C:a", "C:b", "C:c", "O+:abc", "B:abc", "C:d", "C:e", "C:f", "C:\\n", "L:abcdef",
              "O=:abcdef", "E:abcdef"},
             {"abcdef"}},
        Case{"CrLfPairsInOneBatch",
             Everything,
             {"a\r\nb\r\n"},
             {"C:a", "C:\\r", "L:a", "O+:a", "E:a", "C:\\n", "C:b", "C:\\r", "L:b", "O+:b", "E:b",
              "C:\\n"},
             {"a", "b"}},
        Case{"LfCrIsTwoBreaks", LinesOnly, {"a\n\rb\n"}, {"L:a", "E:a", "L:", "E:", "L:b", "E:b"}},
        Case{"TwoLfMakeAnEmptyLine",
             LinesOnly,
             {"x\n\ny\n"},
             {"L:x", "E:x", "L:", "E:", "L:y", "E:y"}},
        Case{"NulGoesToCharsOnly",
             Everything,
             {"a" + NUL + "b\n"},
             {"C:a", "C:\\0", "C:b", "C:\\n", "L:ab", "O+:ab", "E:ab"},
             {"ab"}},
        Case{"NulBetweenCrAndLfSeparatesThem",
             LinesOnly,
             {"a\r" + NUL + "\n"},
             {"L:a", "E:a", "L:", "E:"}},
        Case{"CrAtEndOfBatchThenLfOpensTheNext",
             LinesOnly,
             {"a\r", "\nb\n"},
             {"L:a", "E:a", "L:b", "E:b"}},
        Case{"CrThenTextThenLfAcrossBatches",
             LinesOnly,
             {"a\r", "b", "\n"},
             {"L:a", "E:a", "B:b", "L:b", "E:b"}},
        Case{"CrTextLfInOneBatch", LinesOnly, {"a\rb\n"}, {"L:a", "E:a", "L:b", "E:b"}},
        Case{
            "TwoCrAcrossBatchesAreTwoBreaks", LinesOnly, {"a\r", "\r"}, {"L:a", "E:a", "L:", "E:"}},
        Case{"ProgressLineWithCr",
             Everything,
             {"10%\r20%", "\r"},
             {"C:1", "C:0", "C:%", "C:\\r", "L:10%", "O+:10%", "E:10%", "C:2", "C:0", "C:%",
              "O+:20%", "B:20%", "C:\\r", "L:20%", "O=:20%", "E:20%"},
             {"10%", "20%"}},
        Case{"UnfinishedTextAtEndOfRunIsFlushedAsEntireLine",
             {false, true, true},
             {"done\nrest"},
             {"L:done", "O+:done", "E:done", "O+:rest", "B:rest", "L:rest", "O=:rest", "E:rest"},
             {"done", "rest"}},
        Case{"UnfinishedLineGrowsOverBatches",
             {false, true, true},
             {"a", "b", "c\r\n"},
             {"O+:a", "B:a", "O=:ab", "B:ab", "L:abc", "O=:abc", "E:abc"},
             {"abc"}},
        Case{"NothingButLinesWithoutHandlers", {false, false, false}, {"a\nb"}, {"L:a", "L:b"}},
        Case{"EmptyBatchDeliversNothing", Everything, {"", ""}, {}, {}}),
    [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

TEST(LineAssembly, StopInTheMiddleOfABatchDropsItsRestAndKeepsLast) {
    for (const bool chars : {false, true}) {
        TRecorder sink;
        int linesAllowed = 1;
        bool stop = false;
        TLineAssembly assembly(
            sink, {chars, true, false}, [&] { return stop; },
            [&] {
                if (--linesAllowed == 0)
                    stop = true; // the stop arrives while the first line is delivered
            });
        assembly.AddBatch(u"pre");
        sink.log.clear();
        assembly.AddBatch(u"fix\nsecond\nthird");
        Log expected;
        if (chars)
            expected = {"C:f", "C:i", "C:x", "C:\\n"};
        expected.insert(expected.end(), {"L:prefix", "E:prefix"});
        EXPECT_EQ(sink.log, expected) << "with chars: " << chars;
        EXPECT_EQ(assembly.Last(), "pre") << "with chars: " << chars;
    }
}

TEST(LineAssembly, EchoOfSentLines) {
    TRecorder sink;
    int newOutput = 0;
    TLineAssembly assembly(sink, Everything, nullptr, [&] { ++newOutput; });

    assembly.EchoInput(QStringLiteral("yes\r\n"));
    EXPECT_EQ(sink.log, (Log{"O+:yes\\r\\n", "E:yes\\r\\n"}));

    // An unfinished prompt and the echoed answer become one entry, replacing the prompt's.
    assembly.AddBatch(u"name? ");
    sink.log.clear();
    assembly.EchoInput(QStringLiteral("bob\r\n"));
    EXPECT_EQ(sink.log, (Log{"O=:name? bob\\r\\n", "E:name? bob\\r\\n"}));
    EXPECT_TRUE(assembly.Last().isEmpty());
    EXPECT_FALSE(assembly.PartialShown());
    EXPECT_EQ(sink.outputLines, (QStringList{"yes\r\n", "name? bob\r\n"}));
    EXPECT_EQ(newOutput, 0); // neither the echo nor an unfinished line restarts the silence count

    sink.log.clear();
    assembly.FinalFlush(); // nothing pending
    EXPECT_TRUE(sink.log.empty());
    assembly.AddBatch(u"a\rb\n\r\n");
    EXPECT_EQ(newOutput, 3);
}

} // namespace
