#include "doscommand/lineassembly.h"

namespace {

constexpr char16_t NUL = 0;
constexpr char16_t LF = 10;
constexpr char16_t CR = 13;

} // namespace

TLineAssembly::TLineAssembly(TLineSink& ASink, TOptions AOptions,
                             std::function<bool()> AStopRequested, std::function<void()> ANewOutput)
    : FSink(ASink), FOptions(AOptions), FStopRequested(std::move(AStopRequested)),
      FNewOutput(std::move(ANewOutput)) {}

void TLineAssembly::SetOutputLine(const QString& AText) {
    if (!FOptions.hasOutputLines)
        return;
    if (FPartialShown)
        FSink.OutputLinesReplace(AText);
    else
        FSink.OutputLinesAppend(AText);
}

void TLineAssembly::AddBatch(QStringView ABatch) {
    if (ABatch.isEmpty())
        return;
    const auto stopped = [this] { return FStopRequested && FStopRequested(); };

    QString line = FLast;
    bool lastWasCR = FLastWasCR;
    // Ordinary characters are copied into the line a run at a time rather than one by one.
    qsizetype runStart = 0;
    const qsizetype size = ABatch.size();
    const char16_t* const data = ABatch.utf16();
    for (qsizetype i = 0; i < size; ++i) {
        // Without a character handler, skip a run of ordinary characters at once: every code
        // unit above CR is one.
        if (!FOptions.hasOnNewChar) {
            while (i < size && data[i] > CR)
                ++i;
            if (i == size)
                break;
        }
        const char16_t c = data[i];
        if (FOptions.hasOnNewChar) {
            if (stopped())
                return; // `last` and the CR memory keep their values from before the batch
            FSink.DoNewChar(QChar(c));
        }
        if (c != NUL && c != LF && c != CR)
            continue; // part of the current run
        if (i > runStart) {
            line.append(ABatch.mid(runStart, i - runStart));
            lastWasCR = false; // ordinary characters came after the CR
        }
        runStart = i + 1;
        if (c == NUL) {
            lastWasCR = false;
            continue;
        }
        if (c == LF && lastWasCR) {
            lastWasCR = false;
            continue;
        }
        lastWasCR = c == CR;
        if (stopped())
            return;
        if (FNewOutput)
            FNewOutput();
        FSink.DoLinesAdd(line);
        SetOutputLine(line);
        FPartialShown = false;
        if (FOptions.hasOnNewLine)
            FSink.DoNewLine(line, otEntireLine);
        line.clear();
    }
    line.append(ABatch.mid(runStart));
    // The run after the last break also resets the CR memory when it is not empty.
    if (runStart < size)
        lastWasCR = false;
    if (stopped())
        return;

    FLast = line;
    FLastWasCR = lastWasCR;
    if (!FLast.isEmpty()) {
        SetOutputLine(FLast);
        if (FOptions.hasOnNewLine)
            FSink.DoNewLine(FLast, otBeginningOfLine);
        FPartialShown = true;
    }
}

void TLineAssembly::EchoInput(const QString& ASends) {
    const QString echoed = FLast + ASends;
    SetOutputLine(echoed);
    FPartialShown = false;
    if (FOptions.hasOnNewLine)
        FSink.DoNewLine(echoed, otEntireLine);
    FLast.clear();
}

void TLineAssembly::FinalFlush() {
    if (FLast.isEmpty())
        return;
    FSink.DoLinesAdd(FLast);
    SetOutputLine(FLast);
    FPartialShown = false;
    if (FOptions.hasOnNewLine)
        FSink.DoNewLine(FLast, otEntireLine);
    FLast.clear();
}
