#include "doscommand/dosthread.h"

#include "doscommand/doscommand.h"
#include "doscommand/processtimer.h"
#include "platform/mainthread.h"
#include "platform/syserror.h"

#include <QBuffer>

#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace {

ECreatePipeError PipeError(int code) {
    return ECreatePipeError(
        QStringLiteral("Error creating Pipe: %1").arg(platform::SysErrorMessage(code)));
}

// Closes a descriptor of the run once; a failed close of a child's end is a pipe error.
void CloseChecked(int& fd) {
    const int old = fd;
    fd = -1;
    // On Linux the descriptor is gone even when close() reports EINTR: never retry.
    if (::close(old) < 0 && errno != EINTR)
        throw PipeError(errno);
}

void CloseQuietly(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// write() without the process-wide SIGPIPE that a pipe whose reader has gone would raise: the
// signal is blocked for this thread around the call and, if the write raised it, taken back
// before the mask is restored, so that the caller just sees EPIPE.
ssize_t WriteWithoutSigPipe(int fd, const char* data, size_t size) {
    sigset_t pipeOnly, previous, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
    sigpending(&pending);
    const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
    ssize_t written;
    do {
        written = ::write(fd, data, size);
    } while (written < 0 && errno == EINTR);
    const int error = errno;
    if (written < 0 && error == EPIPE && !alreadyPending) {
        const timespec now{0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return written;
}

struct TDelivery {
    enum TKind : unsigned char { NewChar, LinesAdd, OutputAppend, OutputReplace, NewLine };
    TKind kind;
    TOutputType type = otEntireLine;
    QChar ch;
    QString text;
};

// What a run's deliveries reach on the main thread.
struct TTargets {
    std::shared_ptr<TOwnerLink> link;
    TNewLineEvent onNewLine;
    TNewCharEvent onNewChar;
    QStringList* outputLines;
};

} // namespace

// Collects the deliveries of one batch (or echo, or flush) and posts them to the main thread as
// one queue entry, which performs them in order. An error raised by a handler is reported on
// its own afterwards, so that it does not swallow the rest of the batch.
class TDosThread::TSink final : public TLineSink {
public:
    explicit TSink(std::shared_ptr<const TTargets> ATargets) : FTargets(std::move(ATargets)) {}

    void DoNewChar(QChar AChar) override {
        FPending.push_back({TDelivery::NewChar, {}, AChar, {}});
    }
    void DoLinesAdd(const QString& AStr) override {
        FPending.push_back({TDelivery::LinesAdd, {}, {}, AStr});
    }
    void OutputLinesAppend(const QString& AStr) override {
        FPending.push_back({TDelivery::OutputAppend, {}, {}, AStr});
    }
    void OutputLinesReplace(const QString& AStr) override {
        FPending.push_back({TDelivery::OutputReplace, {}, {}, AStr});
    }
    void DoNewLine(const QString& AStr, TOutputType AOutputType) override {
        FPending.push_back({TDelivery::NewLine, AOutputType, {}, AStr});
    }

    void Flush() {
        if (FPending.empty())
            return;
        // Shared rather than captured by value: the queue may copy its closures.
        auto list = std::make_shared<const std::vector<TDelivery>>(std::move(FPending));
        platform::PostToMainThread([targets = FTargets, list] { Deliver(*targets, *list); });
        FPending = {};
        FPending.reserve(64);
    }

private:
    static void Deliver(const TTargets& ATargets, const std::vector<TDelivery>& AList) {
        for (const TDelivery& d : AList) {
            TDosCommand* const owner = ATargets.link->owner;
            if (!owner)
                return; // the component is gone
            try {
                switch (d.kind) {
                case TDelivery::NewChar:
                    ATargets.onNewChar(owner, d.ch);
                    break;
                case TDelivery::LinesAdd:
                    owner->FLines.append(d.text);
                    break;
                case TDelivery::OutputAppend:
                    ATargets.outputLines->append(d.text);
                    break;
                case TDelivery::OutputReplace:
                    // The caller may have emptied its list meanwhile: then the line is added.
                    if (ATargets.outputLines->isEmpty())
                        ATargets.outputLines->append(d.text);
                    else
                        ATargets.outputLines->last() = d.text;
                    break;
                case TDelivery::NewLine:
                    ATargets.onNewLine(owner, d.text, d.type);
                    break;
                }
            } catch (...) {
                platform::PostToMainThread(
                    [error = std::current_exception()] { std::rethrow_exception(error); });
            }
        }
    }

    std::shared_ptr<const TTargets> FTargets;
    std::vector<TDelivery> FPending;
};

TDosThread::TDosThread(TDosCommand* AOwner, std::shared_ptr<TOwnerLink> ALink,
                       TDosRunSettings ASettings, TProcessTimer& ATimer)
    : FOwner(AOwner), FLink(std::move(ALink)), FSettings(std::move(ASettings)), FTimer(ATimer),
      FChild(std::make_unique<platform::TChildProcess>()) {
    SetFreeOnTerminate(true);
    FOwner->FEndStatus.store(esStill_Active);
    SetOnTerminate([link = FLink](TThreadBase* ASender) {
        if (link->owner)
            link->owner->ThreadTerminated(static_cast<TDosThread*>(ASender));
    });
    auto targets = std::make_shared<TTargets>(
        TTargets{FLink, FSettings.OnNewLine, FSettings.OnNewChar, FSettings.OutputLines});
    FSink = std::make_unique<TSink>(targets);
    FAssembly = std::make_unique<TLineAssembly>(
        *FSink,
        TLineAssembly::TOptions{bool(FSettings.OnNewChar), bool(FSettings.OnNewLine),
                                FSettings.OutputLines != nullptr},
        [this] { return Terminated(); }, [this] { FSawLineBreak = true; });
    Start();
}

TDosThread::~TDosThread() {
    // The body has cleaned up on every path; this only guards against a body that never ran.
    CloseQuietly(FOutRead);
    CloseQuietly(FOutWrite);
    CloseQuietly(FWakeUp);
    CloseQuietly(FInRead);
    CloseQuietly(FInWrite);
}

void TDosThread::Terminate() {
    TThreadBase::Terminate();
    FTerminateEvent.SetEvent();
}

void TDosThread::SetEndStatus(TEndStatus AValue) {
    FOwner->FEndStatus.exchange(AValue);
}

void TDosThread::Execute() {
    NameThisThread("dos-worker");
    std::exception_ptr error;
    try {
        Run();
    } catch (...) {
        error = std::current_exception();
    }
    try {
        CleanUp();
    } catch (...) {
        if (!error)
            error = std::current_exception();
    }
    if (error) {
        SetEndStatus(esError);
        std::rethrow_exception(error);
    }
}

void TDosThread::Run() {
    // Output pipe: the child's standard output and standard error share its write end, so the
    // two streams arrive merged in the order the child writes them. A second write end stays
    // here to wake the reader. Every descriptor is close-on-exec; the child gets its three
    // through the process layer, and nothing else of ours.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
        throw PipeError(errno);
    FOutRead = fds[0];
    FOutWrite = fds[1];
    FWakeUp = ::fcntl(FOutWrite, F_DUPFD_CLOEXEC, 0);
    if (FWakeUp < 0)
        throw PipeError(errno);
    if (::pipe2(fds, O_CLOEXEC) < 0)
        throw PipeError(errno);
    FInRead = fds[0];
    FInWrite = fds[1];
    // Only our end of the input pipe is non-blocking (the child's is another open file), so that
    // a child that does not read its input cannot hold the worker in a write.
    if (::fcntl(FInWrite, F_SETFL, O_NONBLOCK) < 0)
        throw PipeError(errno);

    platform::TChildStartup startup;
    startup.CommandLine = FSettings.CommandLine;
    startup.CurrentDir = FSettings.CurrentDir;
    startup.Environment = FSettings.Environment;
    startup.StdIn = FInRead;
    startup.StdOut = FOutWrite;
    startup.StdErr = FOutWrite;
    startup.CreationFlags = static_cast<std::uint32_t>(FSettings.Priority);
    if (const int error = FChild->Start(startup))
        throw ECreateProcessError(
            QStringLiteral("Error creating Process: %1 - (%2)")
                .arg(FSettings.CommandLine, platform::SysErrorMessage(error)));
    FProcessInformation = FChild->Information();
    platform::PostToMainThread([link = FLink, info = FProcessInformation] {
        if (link->owner)
            link->owner->FProcessInformation = info;
    });

    CloseChecked(FOutWrite);
    CloseChecked(FInRead);

    TDosCommand* const owner = FOwner;
    FReader = std::make_unique<TReadPipe>(
        FOutRead, FWakeUp, [owner](QIODevice& ABuf) { return owner->DoCharDecoding(owner, ABuf); });

    FExitCode = FChild->ExitCode();
    platform::TFdWaitable child(FChild->PidFd());
    platform::TWaitable* const waitables[] = {&FReader->Event(), &FInputLines.Event(), &child,
                                              &FTerminateEvent, &FTimer.Event()};
    for (;;) {
        switch (platform::WaitForAny(waitables)) {
        case 0:
            while (FReader->ReadString().Length() > 0 && !Terminated())
                DoReadLine();
            break;
        case 1:
            if (FInputLines.Count() > 0 && !Terminated()) {
                DoSendLine();
                if (FInputLines.Count() > 0)
                    FInputLines.Event().SetEvent();
            }
            break;
        case 2:
            FChildEnded = true;
            break;
        default:
            break; // the stop event and the tick only wake the loop
        }
        if (Terminated() || FChildEnded ||
            FTimer.LimitExceeded(FSettings.MaxTimeAfterBeginning, FSettings.MaxTimeAfterLastOutput))
            break;
    }

    // A child that ended while a stop or a limit was being noticed ended by itself.
    if (!FChildEnded)
        FChildEnded = ChildHasEnded();
    if (FChildEnded) {
        FExitCode = FChild->ExitCode();
        SetEndStatus(esProcess);
        FCanTerminate = false;
        // The child's last output may still be in the pipe or in the reader's hands.
        FReader->FinishDraining(std::chrono::milliseconds(DrainLimitMs));
        FReader->WaitFor();
        while (FReader->ReadString().Length() > 0 && !Terminated())
            DoReadLine();
    } else {
        FCanTerminate = true;
        SetEndStatus(Terminated() ? esStop : esTime);
        DoTerminateProcess();
    }

    FAssembly->FinalFlush();
    FSink->Flush();
}

bool TDosThread::ChildHasEnded() {
    platform::TFdWaitable child(FChild->PidFd());
    return platform::WaitForSingle(child, 0);
}

void TDosThread::CleanUp() {
    std::exception_ptr error;
    if (FReader) {
        try {
            FReader->Terminate();
        } catch (...) {
            error = std::current_exception();
            // The wake-up bytes did not go out; the drain request wakes the reader as well.
            FReader->FinishDraining(std::chrono::milliseconds(0));
        }
        FReader->WaitFor();
        FReader.reset();
    }
    if (FChild->Started()) {
        if (FCanTerminate)
            FChild->WaitForExit(1000);
        FExitCode = FChild->ExitCode();
    }
    // A child that still runs passes to the process layer's reaper here.
    FChild.reset();
    CloseQuietly(FOutRead);
    CloseQuietly(FInWrite);
    CloseQuietly(FWakeUp);
    CloseQuietly(FOutWrite);
    CloseQuietly(FInRead);
    if (error)
        std::rethrow_exception(error);
}

void TDosThread::DoReadLine() {
    TSyncString& buffer = FReader->ReadString();
    const QString batch = buffer.Value();
    // Text the reader appends meanwhile stays for the next batch: it only ever appends.
    buffer.Delete(1, batch.size());
    if (batch.isEmpty())
        return;
    FAssembly->AddBatch(batch);
    // The silence counter restarts once per batch that held a line break: only this thread
    // reads it, after the batch, so that is the same as once per break, at a fraction of the
    // locking.
    if (FSawLineBreak) {
        FSawLineBreak = false;
        FTimer.NewOutput();
    }
    FSink->Flush();
}

void TDosThread::DoSendLine() {
    QString entry = FInputLines.get_Strings(0);
    if (entry.startsWith(QLatin1Char('_')))
        entry += QStringLiteral("\r\n");
    const QString sSends = entry.mid(1);
    if (sSends.isEmpty()) {
        FInputLines.Delete(0);
        return;
    }
    QByteArray bytes;
    {
        QBuffer stream(&bytes);
        stream.open(QIODevice::WriteOnly);
        FOwner->DoCharEncoding(FOwner, sSends, stream);
    }
    WriteToChild(bytes);
    if (FSettings.InputToOutput) {
        FAssembly->EchoInput(sSends);
        FSink->Flush();
    }
    FInputLines.Delete(0);
}

void TDosThread::WriteToChild(const QByteArray& ABytes) {
    qsizetype done = 0;
    while (done < ABytes.size()) {
        const ssize_t written =
            WriteWithoutSigPipe(FInWrite, ABytes.constData() + done, size_t(ABytes.size() - done));
        if (written >= 0) {
            done += written;
            continue;
        }
        if (errno != EAGAIN)
            throw EAssertionFailed(QStringLiteral("Assertion failure"));
        // The child's input is full: wait until it reads, unless the run ends meanwhile. The
        // rest of the line is then dropped; the loop sees why the run ends.
        platform::TFdWaitable writable(FInWrite, true);
        platform::TFdWaitable child(FChild->PidFd());
        platform::TWaitable* const waitables[] = {&writable, &child, &FTerminateEvent,
                                                  &FTimer.Event()};
        switch (platform::WaitForAny(waitables)) {
        case 1:
            FChildEnded = true;
            return;
        case 2:
            return;
        case 3:
            if (FTimer.LimitExceeded(FSettings.MaxTimeAfterBeginning,
                                     FSettings.MaxTimeAfterLastOutput))
                return;
            break;
        default:
            break;
        }
    }
}

void TDosThread::DoTerminateProcess() {
    FCanTerminate = true;
    if (FSettings.OnTerminateProcess) {
        // The answer travels through a value of its own: if the component goes away while the
        // handler runs, this thread no longer waits for it and must not read it.
        auto answer = std::make_shared<bool>(true);
        if (Synchronize([link = FLink, handler = FSettings.OnTerminateProcess, answer] {
                if (link->owner)
                    handler(link->owner, *answer);
            }))
            FCanTerminate = *answer;
    }
    if (FCanTerminate)
        FChild->Kill();
}
