#include "download/queue.h"

#include "download/downloadlist.h"
#include "platform/cmdline.h"

#include <QFileInfo>
#include <QObject>

TDownloadQueue::TDownloadQueue(TDownloadList& list, TDosCommand& runner, TQueueView& view)
    : FList(list), FRunner(runner), FView(view), FSelf(std::make_shared<TDownloadQueue*>(this)) {
    // The runner hands each run a copy of OnNewLine; the handlers reach the queue through FSelf,
    // which the destructor clears, so a late delivery finds no queue instead of a dead one.
    const std::shared_ptr<TDownloadQueue*> self = FSelf;
    FRunner.SetOnNewLine(
        [self](TDosCommand* ASender, const QString& ANewLine, TOutputType AOutputType) {
            if (*self)
                (*self)->DosCommand1NewLine(ASender, ANewLine, AOutputType);
        });
    FRunner.SetOnTerminated([self](TDosCommand* ASender) {
        if (*self)
            (*self)->DosCommand1Terminated(ASender);
    });
    FRunner.SetOnExecuteError([self](TDosCommand* ASender, const Exception& AE, bool& AHandled) {
        if (*self)
            (*self)->DosCommand1ExecuteError(ASender, AE, AHandled);
    });
    FRemovedConnection =
        QObject::connect(&FList, &TDownloadList::removed, &FList,
                         [this](int first, int count) { RowsRemoved(first, count); });
}

TDownloadQueue::~TDownloadQueue() {
    // The window is going away: nothing may call back into it, and the converter must not go
    // on writing files after it. The runner's destructor waits for the stopped child.
    *FSelf = nullptr;
    QObject::disconnect(FRemovedConnection);
    FRunner.SetOnNewLine(nullptr);
    FRunner.SetOnTerminated(nullptr);
    FRunner.SetOnExecuteError(nullptr);
    if (FRunPending)
        FRunner.Stop();
}

void TDownloadQueue::Button1Click() {
    if (FRunning) {
        StopQueue();
        return;
    }
    // The button is disabled while a stopped run is ending; a click that still gets here must
    // not start a queue whose first entry would be credited with that run's end.
    if (FRunPending)
        return;

    FCurrentIndex = 0;
    if (FList.Count() == 0)
        return;
    FView.ClearLog();
    FRunning = true;
    FView.SetRunningLook(true);
    FList.ClearStatuses();
    FView.ProcessMessages();
    // STOP (or "Delete All") may have been handled while the messages were processed.
    if (!FRunning)
        return;
    FView.ShowLog();
    FAborted = false;
    if (FCurrentIndex >= FList.Count()) {
        Bitti();
        return;
    }
    SetCurrentStatus(StatusDownloading);
    M3U8Indir(FList.Caption(static_cast<int>(FCurrentIndex)));
}

void TDownloadQueue::M3U8Indir(const QString& url) {
    try {
        const QString output = OutputPath(FView.Destination());
        FRunner.SetCommandLine(ConverterCommandLine(url, output));
        FRunner.Execute();
        FOutputPath = output;
        FRunPending = true;
        FEntryDeleted = false;
        FRunFailed = false;
    } catch (const Exception& e) {
        StartFailed(e.Message());
    } catch (const std::exception& e) {
        StartFailed(QString::fromLocal8Bit(e.what()));
    }
}

void TDownloadQueue::DosCommand1NewLine(TDosCommand* ASender, const QString& ANewLine,
                                        TOutputType AOutputType) {
    Q_UNUSED(ASender);
    if (AOutputType == otEntireLine)
        FView.AppendLog(ANewLine);
}

void TDownloadQueue::DosCommand1Terminated(TDosCommand* ASender) {
    Q_UNUSED(ASender);
    if (!FRunPending)
        return;
    FRunPending = false;
    const bool failed = FRunFailed;
    const bool deleted = FEntryDeleted;
    FRunFailed = false;
    FEntryDeleted = false;

    if (!failed && !deleted) {
        // A converter that gives up (bad address, unreachable server, unwritable destination)
        // ends by itself with a non-zero exit code: that entry failed, the others may not.
        // One that reports success without leaving a file behind has failed all the same.
        const QFileInfo output(FOutputPath);
        if (FAborted)
            SetCurrentStatus(StatusAborted);
        else if (FRunner.ExitCode() != 0 || !output.isFile() || output.size() == 0)
            SetCurrentStatus(StatusError);
        else
            SetCurrentStatus(StatusComplete);
    }
    if (!FRunning) {
        // Stopped or failed: the queue has ended already, and the button may start the next.
        FView.SetButtonEnabled(true);
        return;
    }

    ++FCurrentIndex;
    if (FCurrentIndex < FList.Count()) {
        SetCurrentStatus(StatusDownloading);
        M3U8Indir(FList.Caption(static_cast<int>(FCurrentIndex)));
    } else {
        Bitti();
    }
}

void TDownloadQueue::DosCommand1ExecuteError(TDosCommand* ASender, const Exception& AE,
                                             bool& AHandled) {
    Q_UNUSED(ASender);
    Q_UNUSED(AE);
    // AHandled stays false: the runner shows the reason in its own message box.
    Q_UNUSED(AHandled);
    FRunFailed = true;
    if (!FEntryDeleted)
        SetCurrentStatus(StatusError);
    FView.AppendLog(ExecutionErrorLine);
    if (FRunning)
        Bitti();
}

void TDownloadQueue::Bitti() {
    FRunning = false;
    FView.SetRunningLook(false);
    FView.Beep();
}

void TDownloadQueue::StopQueue() {
    FAborted = true;
    FRunner.Stop();
    Bitti();
    // Until the stopped run's end has arrived the runner is still busy, and a new queue would
    // take that end for its own first entry's.
    if (FRunPending)
        FView.SetButtonEnabled(false);
}

void TDownloadQueue::StartFailed(const QString& reason) {
    // No run was started, so no end will arrive: the queue can't go on waiting for one.
    FRunPending = false;
    SetCurrentStatus(StatusError);
    FView.AppendLog(ExecutionErrorLine);
    if (!reason.isEmpty())
        FView.AppendLog(reason);
    if (FRunning)
        Bitti();
}

void TDownloadQueue::RowsRemoved(int first, int count) {
    if (!FRunning && !FRunPending)
        return;
    const qint64 last = qint64(first) + count - 1;
    if (last < FCurrentIndex) {
        FCurrentIndex -= count;
    } else if (first <= FCurrentIndex) {
        if (FRunPending) {
            // The running entry went: its converter stops, and the queue goes on with the
            // entry that followed it, which is now at first.
            FCurrentIndex = qint64(first) - 1;
            if (!FEntryDeleted)
                FRunner.Stop();
            FEntryDeleted = true;
        } else {
            // The entry about to start went; the one that followed it takes its place.
            FCurrentIndex = first;
        }
    }
    if (FRunning && FList.Count() == 0)
        StopQueue();
}

void TDownloadQueue::SetCurrentStatus(const QString& status) {
    if (FCurrentIndex >= 0 && FCurrentIndex < FList.Count())
        FList.SetStatus(static_cast<int>(FCurrentIndex), status);
}

QString TDownloadQueue::OutputPath(const QString& destination) {
    const QString folder = destination + QLatin1Char('/');
    QString path = folder + QStringLiteral("output.mp4");
    for (qint64 n = 2; QFileInfo(path).isFile(); ++n)
        path = folder + QStringLiteral("output (%1).mp4").arg(n);
    return path;
}

QString TDownloadQueue::QuoteArgument(const QString& argument) {
    const QString quoted = platform::QuoteArgument(argument);
    if (quoted.startsWith(QLatin1Char('"')))
        return quoted;
    // Returned unchanged: no blank, quote or line break in it. Only backslashes right before the
    // closing quote would change meaning, so those are doubled.
    qsizetype trailing = 0;
    while (trailing < argument.size() &&
           argument.at(argument.size() - 1 - trailing) == QLatin1Char('\\'))
        ++trailing;
    return QLatin1Char('"') + argument + QString(trailing, QLatin1Char('\\')) + QLatin1Char('"');
}

QString TDownloadQueue::ConverterCommandLine(const QString& url, const QString& outputPath) {
    return QStringLiteral("ffmpeg.exe -i ") + QuoteArgument(url) +
           QStringLiteral(" -c copy -bsf:a aac_adtstoasc ") + QuoteArgument(outputPath);
}
