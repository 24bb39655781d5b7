#pragma once

#include "doscommand/doscommandtypes.h"
#include "doscommand/readpipe.h"
#include "platform/process.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class TDosThread;
class TProcessTimer;
struct TOwnerLink;

// Runs one console program at a time as a child with redirected standard streams, and reports
// its output, line by line, through events on the main thread. Every operation is called on the
// main thread, and every event arrives there; a run adds a worker thread and a pipe reader
// thread (OnCharDecoding runs on the reader, OnCharEncoding on the worker). The component owns
// its Lines, Environment and timer; OutputLines belongs to the caller.
//
// Destroying the component during a run stops the run and waits for its worker to end (at most
// about the worker's one-second wait for a killed child); no event is raised after that, and an
// OnTerminateProcess that is being asked at that moment is answered "terminate".
class TDosCommand : public QObject {
public:
    // Shows the message box of ShowExecuteError: the caption and the text. The application sets
    // it at start-up (to a box with the error icon); unset, the text goes to qWarning.
    using TShowErrorHook = std::function<void(const QString& ACaption, const QString& AText)>;
    static void SetShowErrorHook(TShowErrorHook AHook);

    explicit TDosCommand(QObject* AOwner = nullptr);
    ~TDosCommand() override;

    const QString& CommandLine() const noexcept { return FCommandLine; }
    void SetCommandLine(const QString& AValue) { FCommandLine = AValue; }
    const QString& CurrentDir() const noexcept { return FCurrentDir; }
    void SetCurrentDir(const QString& AValue) { FCurrentDir = AValue; }
    // Lines "NAME=value" added to the child's environment; empty: the parent's, unchanged.
    QStringList& Environment() noexcept { return FEnvironment; }
    bool InputToOutput() const noexcept { return FInputToOutput; }
    void SetInputToOutput(bool AValue) noexcept { FInputToOutput = AValue; }
    std::int32_t MaxTimeAfterBeginning() const noexcept { return FMaxTimeAfterBeginning; }
    void SetMaxTimeAfterBeginning(std::int32_t AValue) noexcept { FMaxTimeAfterBeginning = AValue; }
    std::int32_t MaxTimeAfterLastOutput() const noexcept { return FMaxTimeAfterLastOutput; }
    void SetMaxTimeAfterLastOutput(std::int32_t AValue) noexcept {
        FMaxTimeAfterLastOutput = AValue;
    }

    const TCharDecoding& OnCharDecoding() const noexcept { return FOnCharDecoding; }
    // Raises EDosCommand "DosCommand still running" during a run.
    void SetOnCharDecoding(TCharDecoding AValue);
    const TCharEncoding& OnCharEncoding() const noexcept { return FOnCharEncoding; }
    // Raises EDosCommand "DosCommand still running" during a run.
    void SetOnCharEncoding(TCharEncoding AValue);
    const TErrorEvent& OnExecuteError() const noexcept { return FonExecuteError; }
    void SetOnExecuteError(TErrorEvent AValue) { FonExecuteError = std::move(AValue); }
    const TNewCharEvent& OnNewChar() const noexcept { return FOnNewChar; }
    void SetOnNewChar(TNewCharEvent AValue) { FOnNewChar = std::move(AValue); }
    const TNewLineEvent& OnNewLine() const noexcept { return FOnNewLine; }
    void SetOnNewLine(TNewLineEvent AValue) { FOnNewLine = std::move(AValue); }
    const TNotifyEvent& OnTerminated() const noexcept { return FOnTerminated; }
    void SetOnTerminated(TNotifyEvent AValue) { FOnTerminated = std::move(AValue); }
    const TTerminateProcessEvent& OnTerminateProcess() const noexcept {
        return FOnTerminateProcess;
    }
    void SetOnTerminateProcess(TTerminateProcessEvent AValue) {
        FOnTerminateProcess = std::move(AValue);
    }

    TEndStatus EndStatus() const noexcept { return FEndStatus.load(); }
    std::uint32_t ExitCode() const noexcept { return FExitCode; }
    bool IsRunning() const noexcept { return FThread != nullptr; }
    const QStringList& Lines() const noexcept { return FLines; }
    QStringList* OutputLines() const noexcept { return FOutputLines; }
    void SetOutputLines(QStringList* AValue) noexcept { FOutputLines = AValue; }
    std::int32_t Priority() const noexcept { return FPriority; }
    void SetPriority(std::int32_t AValue) noexcept { FPriority = AValue; }
    // The last child's identity. Its process handle (a pidfd) is usable only while that run
    // lasts; the ids stay as they were.
    const platform::TProcessInformation& ProcessInformation() const noexcept {
        return FProcessInformation;
    }

    // Starts a run and returns at once. Raises EDosCommand "DosCommand still running" or "No
    // Commandline to execute", or EProcessTimer "could not start timer"; every later failure
    // arrives as OnExecuteError followed by OnTerminated.
    void Execute();
    // Asks a running worker to end; never waits. Does nothing when idle.
    void Stop();
    // Queues AValue for the child's standard input, followed by CR LF when AEol is set. Raises
    // EDosCommand "DosCommand not running" when idle.
    void SendLine(const QString& AValue, bool AEol);

    // The decoding of one chunk of the child's output (reader thread) and the encoding of one
    // line for its input (worker thread). A subclass that overrides them must stop a run and
    // wait for it (by destroying the component's run first) before its own members go.
    virtual QString DoCharDecoding(TDosCommand* ASender, QIODevice& ABuf);
    virtual void DoCharEncoding(TDosCommand* ASender, const QString& AChars, QIODevice& AOutBuf);

    // The message box for a run's error: caption the executable's file name, text the error's
    // class name, CR LF, its message.
    static void ShowExecuteError(const Exception& E);

protected:
    // The end of the worker, on the main thread.
    void ThreadTerminated(TDosThread* Sender);

private:
    friend class TDosThread;

    QString FCommandLine;
    QString FCurrentDir;
    QStringList FEnvironment;
    std::uint32_t FExitCode = 0;
    bool FInputToOutput = false;
    QStringList FLines;
    std::int32_t FMaxTimeAfterBeginning = 0;
    std::int32_t FMaxTimeAfterLastOutput = 0;
    TCharDecoding FOnCharDecoding;
    TCharEncoding FOnCharEncoding;
    TErrorEvent FonExecuteError;
    TNewCharEvent FOnNewChar;
    TNewLineEvent FOnNewLine;
    TNotifyEvent FOnTerminated;
    TTerminateProcessEvent FOnTerminateProcess;
    QStringList* FOutputLines = nullptr;
    std::int32_t FPriority = 32;
    TDosThread* FThread = nullptr;
    std::unique_ptr<TProcessTimer> FTimer;
    std::atomic<TEndStatus> FEndStatus{esNone};
    platform::TProcessInformation FProcessInformation;

    // The default decoding's state for the run in progress (reader thread only).
    TChunkDecoder FDecoder;
    std::shared_ptr<TOwnerLink> FLink;
};
