#pragma once

#include "doscommand/doscommandtypes.h"
#include "doscommand/lineassembly.h"
#include "doscommand/readpipe.h"
#include "platform/events.h"
#include "platform/process.h"
#include "platform/thread.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

class TProcessTimer;

// The component as its run's deliveries see it: set to none on the main thread when the
// component goes away, so that a delivery still queued then does nothing.
struct TOwnerLink {
    TDosCommand* owner = nullptr;
};

// What a run takes from the component when it starts; later changes there do not reach it.
struct TDosRunSettings {
    QString CommandLine;
    QString CurrentDir;
    QStringList Environment;
    bool InputToOutput = false;
    std::int32_t Priority = 32;
    std::int32_t MaxTimeAfterBeginning = 0;
    std::int32_t MaxTimeAfterLastOutput = 0;
    TNewLineEvent OnNewLine;
    TNewCharEvent OnNewChar;
    TTerminateProcessEvent OnTerminateProcess;
    QStringList* OutputLines = nullptr;
};

// The worker of one run: starts the child, waits for its output, input lines, its end, a stop
// request and the timer's tick in one wait, turns the output into deliveries posted to the
// main thread, and ends the run. Created by TDosCommand::Execute on the main thread and
// started at once; Terminate and InputLines are used from the main thread; everything else
// runs on the worker thread. It disposes of itself after its end handler (the component's
// ThreadTerminated) has run on the main thread.
class TDosThread final : public TThreadBase {
public:
    TDosThread(TDosCommand* AOwner, std::shared_ptr<TOwnerLink> ALink, TDosRunSettings ASettings,
               TProcessTimer& ATimer);
    ~TDosThread() override;

    // Sets the stop request and the stop event (which stays signalled).
    void Terminate() override;
    TInputLines& InputLines() noexcept { return FInputLines; }
    // The last exit code read; 259 while the child runs. Valid in the end handler.
    std::uint32_t ExitCode() const noexcept { return FExitCode; }

    // How long the worker waits for the output that is still on its way when the child has
    // ended (a grandchild that keeps writing is cut off after this).
    static constexpr int DrainLimitMs = 1000;

protected:
    void Execute() override;

private:
    class TSink;
    void Run();
    void CleanUp();
    void DoReadLine();
    void DoSendLine();
    void DoTerminateProcess();
    void SetEndStatus(TEndStatus AValue);
    void WriteToChild(const QByteArray& ABytes);
    bool ChildHasEnded();

    TDosCommand* FOwner;
    std::shared_ptr<TOwnerLink> FLink;
    TDosRunSettings FSettings;
    TInputLines FInputLines;
    TProcessTimer& FTimer;
    platform::TEvent FTerminateEvent{true, false};
    std::unique_ptr<platform::TChildProcess> FChild;
    platform::TProcessInformation FProcessInformation;
    std::uint32_t FExitCode = 0;
    bool FCanTerminate = false;
    bool FChildEnded = false;
    bool FSawLineBreak = false; // the batch being assembled ended a line

    // Descriptors of one run; -1 when not open.
    int FOutRead = -1;  // output pipe, parent end (the reader's)
    int FOutWrite = -1; // output pipe, child end (standard output and error)
    int FWakeUp = -1;   // another write end of the output pipe, kept to wake the reader
    int FInRead = -1;   // input pipe, child end
    int FInWrite = -1;  // input pipe, parent end
    std::unique_ptr<TReadPipe> FReader;
    std::unique_ptr<TSink> FSink;
    std::unique_ptr<TLineAssembly> FAssembly;
};
