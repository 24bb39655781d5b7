#include "doscommand/doscommand.h"

#include "doscommand/dosthread.h"
#include "doscommand/processtimer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStringEncoder>

namespace {

TDosCommand::TShowErrorHook& ShowErrorHook() {
    static TDosCommand::TShowErrorHook hook;
    return hook;
}

} // namespace

void TDosCommand::SetShowErrorHook(TShowErrorHook AHook) {
    ShowErrorHook() = std::move(AHook);
}

TDosCommand::TDosCommand(QObject* AOwner)
    : QObject(AOwner), FLink(std::make_shared<TOwnerLink>(TOwnerLink{this})) {}

TDosCommand::~TDosCommand() {
    // Queued deliveries of the run find no component from now on.
    FLink->owner = nullptr;
    if (TDosThread* thread = FThread) {
        FThread = nullptr;
        thread->Terminate();
        // The worker may be waiting for the main thread (OnTerminateProcess, the end handler):
        // release it from those waits, then wait for it. It disposes of itself afterwards.
        thread->Abandon();
        thread->WaitFor();
    }
}

void TDosCommand::SetOnCharDecoding(TCharDecoding AValue) {
    if (IsRunning())
        throw EDosCommand(QStringLiteral("DosCommand still running"));
    FOnCharDecoding = std::move(AValue);
}

void TDosCommand::SetOnCharEncoding(TCharEncoding AValue) {
    if (IsRunning())
        throw EDosCommand(QStringLiteral("DosCommand still running"));
    FOnCharEncoding = std::move(AValue);
}

void TDosCommand::Execute() {
    if (FThread)
        throw EDosCommand(QStringLiteral("DosCommand still running"));
    if (FCommandLine.isEmpty())
        throw EDosCommand(QStringLiteral("No Commandline to execute"));
    if (!FTimer)
        FTimer = std::make_unique<TProcessTimer>();
    FLines.clear();
    FTimer->Beginning();
    FDecoder.Reset();

    TDosRunSettings settings;
    settings.CommandLine = FCommandLine;
    settings.CurrentDir = FCurrentDir;
    settings.Environment = FEnvironment;
    settings.InputToOutput = FInputToOutput;
    settings.Priority = FPriority;
    settings.MaxTimeAfterBeginning = FMaxTimeAfterBeginning;
    settings.MaxTimeAfterLastOutput = FMaxTimeAfterLastOutput;
    settings.OnNewLine = FOnNewLine;
    settings.OnNewChar = FOnNewChar;
    settings.OnTerminateProcess = FOnTerminateProcess;
    settings.OutputLines = FOutputLines;
    try {
        // Disposes of itself after ThreadTerminated.
        FThread = std::make_unique<TDosThread>(this, FLink, std::move(settings), *FTimer).release();
    } catch (...) {
        FTimer->Ending();
        throw;
    }
}

void TDosCommand::Stop() {
    if (FThread)
        FThread->Terminate();
}

void TDosCommand::SendLine(const QString& AValue, bool AEol) {
    if (!FThread)
        throw EDosCommand(QStringLiteral("DosCommand not running"));
    FThread->InputLines().Add((AEol ? QStringLiteral("_") : QStringLiteral(" ")) + AValue);
}

QString TDosCommand::DoCharDecoding(TDosCommand* /*ASender*/, QIODevice& ABuf) {
    if (FOnCharDecoding)
        return FOnCharDecoding(this, ABuf);
    return FDecoder.Decode(ABuf);
}

void TDosCommand::DoCharEncoding(TDosCommand* /*ASender*/, const QString& AChars,
                                 QIODevice& AOutBuf) {
    if (FOnCharEncoding) {
        FOnCharEncoding(this, AChars, AOutBuf);
        return;
    }
    if (AChars.isEmpty())
        return;
    QStringEncoder encoder(QStringConverter::System);
    AOutBuf.write(encoder.encode(AChars));
}

void TDosCommand::ShowExecuteError(const Exception& E) {
    const QString caption = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    const QString text = QString::fromLatin1(E.ClassName()) + QStringLiteral("\r\n") + E.Message();
    if (const TShowErrorHook& hook = ShowErrorHook())
        hook(caption, text);
    else
        qWarning("%s: %s", qUtf8Printable(caption), qUtf8Printable(text));
}

void TDosCommand::ThreadTerminated(TDosThread* Sender) {
    // Handlers may destroy the component; the link tells whether it still exists.
    const std::shared_ptr<TOwnerLink> link = FLink;
    FExitCode = Sender->ExitCode();
    std::exception_ptr timerError;
    try {
        FTimer->Ending();
    } catch (...) {
        // Reported after the run has been closed, so that IsRunning still goes False.
        timerError = std::current_exception();
    }
    FThread = nullptr;

    if (const std::exception_ptr fatal = Sender->FatalException()) {
        const auto report = [this](const Exception& AE) {
            bool handled = false;
            if (FonExecuteError) {
                const TErrorEvent handler = FonExecuteError;
                try {
                    handler(this, AE, handled);
                } catch (const Exception& e) {
                    ShowExecuteError(e);
                    return;
                } catch (const std::exception& e) {
                    ShowExecuteError(Exception(QString::fromLocal8Bit(e.what())));
                    return;
                }
            }
            if (!handled)
                ShowExecuteError(AE);
        };
        try {
            std::rethrow_exception(fatal);
        } catch (const Exception& e) {
            report(e);
        } catch (const std::exception& e) {
            report(Exception(QString::fromLocal8Bit(e.what())));
        } catch (...) {
            report(Exception(QStringLiteral("Unknown error")));
        }
        if (!link->owner)
            return;
    }

    if (FOnTerminated) {
        const TNotifyEvent handler = FOnTerminated; // the handler may replace itself
        handler(this);
    }
    if (timerError)
        std::rethrow_exception(timerError);
}
