#pragma once

#include "doscommand/doscommandtypes.h"

#include <QString>
#include <QStringView>

#include <functional>

// Where the deliveries of one run go, in the order the assembly makes them. The worker's sink
// posts them to the main thread; tests record them.
class TLineSink {
public:
    virtual ~TLineSink() = default;
    virtual void DoNewChar(QChar AChar) = 0;
    virtual void DoLinesAdd(const QString& AStr) = 0;
    // The two updates of the caller's OutputLines: append, or replace the last entry.
    virtual void OutputLinesAppend(const QString& AStr) = 0;
    virtual void OutputLinesReplace(const QString& AStr) = 0;
    virtual void DoNewLine(const QString& AStr, TOutputType AOutputType) = 0;
};

// Turns the decoded output of one run into characters, lines and unfinished lines: the pending
// line `last`, the partial-shown flag of OutputLines and whether the last character was a CR
// carry over from one batch to the next. Used by one thread (the run's worker).
class TLineAssembly {
public:
    struct TOptions {
        bool hasOnNewChar = false;   // deliver every character
        bool hasOnNewLine = false;   // deliver lines and unfinished lines
        bool hasOutputLines = false; // keep the caller's OutputLines mirror
    };

    // AStopRequested is asked before every delivery: once it holds, the rest of a batch is
    // dropped. ANewOutput is called at every line break of the output (the silence counter).
    TLineAssembly(TLineSink& ASink, TOptions AOptions, std::function<bool()> AStopRequested,
                  std::function<void()> ANewOutput);

    // One batch of decoded output, in the order it was read.
    void AddBatch(QStringView ABatch);
    // A line written to the child, echoed into the output (InputToOutput).
    void EchoInput(const QString& ASends);
    // The end of the run: the pending unfinished line becomes a complete one.
    void FinalFlush();

    const QString& Last() const noexcept { return FLast; }
    bool PartialShown() const noexcept { return FPartialShown; }

private:
    void SetOutputLine(const QString& AText);

    TLineSink& FSink;
    TOptions FOptions;
    std::function<bool()> FStopRequested;
    std::function<void()> FNewOutput;
    QString FLast;
    bool FPartialShown = false;
    // A CR ended the previous batch: an LF that opens the next one completes the same break.
    bool FLastWasCR = false;
};
