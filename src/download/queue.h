#pragma once

#include "doscommand/doscommand.h"

#include <QMetaObject>
#include <QString>

#include <memory>

class TDownloadList;

// What the download queue needs from the window that shows it. The main window implements it.
class TQueueView {
public:
    virtual ~TQueueView() = default;

    // The destination field's whole text, read afresh for every entry.
    virtual QString Destination() = 0;
    // running: the button reads "STOP" with image 4 (stop) and the progress bar shows a marquee;
    // otherwise the button reads "Download" with image 1 (download), normal progress bar.
    virtual void SetRunningLook(bool running) = 0;
    // The Download/STOP button is disabled while a stopped run has not ended yet.
    virtual void SetButtonEnabled(bool enabled) = 0;
    virtual void ClearLog() = 0;
    // Appends one line to the log pane.
    virtual void AppendLog(const QString& line) = 0;
    // Shows the log pane, then the splitter above it; they stay visible from then on.
    virtual void ShowLog() = 0;
    // Processes the pending window messages once, so that the list repaints.
    virtual void ProcessMessages() = 0;
    // The platform's default message beep.
    virtual void Beep() = 0;
};

// The download queue: works through the download list one entry at a time, running the
// converter for each through the process runner, and keeps every entry's status.
//
// Main thread only: the button, the runner's events and the list's notifications all arrive
// there. The queue neither owns the list, the runner nor the view; it must be destroyed before
// the runner and the list. It installs itself as the runner's OnNewLine, OnTerminated and
// OnExecuteError handlers and removes them again when it is destroyed, asking a run still going
// to stop (the runner's own destructor then waits for the converter).
class TDownloadQueue {
public:
    TDownloadQueue(TDownloadList& list, TDosCommand& runner, TQueueView& view);
    ~TDownloadQueue();
    TDownloadQueue(const TDownloadQueue&) = delete;
    TDownloadQueue& operator=(const TDownloadQueue&) = delete;

    // The Download/STOP button: starts a queue when idle, stops it when running.
    void Button1Click();
    // Starts the converter for one entry's address.
    void M3U8Indir(const QString& url);
    void DosCommand1NewLine(TDosCommand* ASender, const QString& ANewLine, TOutputType AOutputType);
    void DosCommand1Terminated(TDosCommand* ASender);
    void DosCommand1ExecuteError(TDosCommand* ASender, const Exception& AE, bool& AHandled);
    // Returns the window to idle and beeps.
    void Bitti();

    // Position of the entry being downloaded. While the running entry's run is ending after
    // its row was deleted, the position of the row before it (possibly -1).
    qint64 CurrentIndex() const { return FCurrentIndex; }
    // STOP was pressed during the current queue.
    bool Aborted() const { return FAborted; }
    // The button reads "STOP".
    bool Running() const { return FRunning; }
    // A converter run started by the queue has not reported its end yet.
    bool RunPending() const { return FRunPending; }

    // The first free output path in destination: destination + "/output.mp4", else
    // destination + "/output (n).mp4" for the smallest n from 2 that names no existing file
    // (links followed; folders and other non-files don't count).
    static QString OutputPath(const QString& destination);
    // The converter's command line for one entry.
    static QString ConverterCommandLine(const QString& url, const QString& outputPath);
    // One argument in double quotes, escaped so that the child receives exactly argument.
    static QString QuoteArgument(const QString& argument);

    static inline const QString StatusDownloading = QStringLiteral("Downloading...");
    static inline const QString StatusComplete = QStringLiteral("Complete");
    static inline const QString StatusAborted = QStringLiteral("Aborted");
    static inline const QString StatusError = QStringLiteral("Error");
    static inline const QString ExecutionErrorLine = QStringLiteral("Execution Error!");

private:
    void StopQueue();
    void StartFailed(const QString& reason);
    void RowsRemoved(int first, int count);
    void SetCurrentStatus(const QString& status);

    TDownloadList& FList;
    TDosCommand& FRunner;
    TQueueView& FView;
    QMetaObject::Connection FRemovedConnection;
    std::shared_ptr<TDownloadQueue*> FSelf;

    qint64 FCurrentIndex = 0;
    bool FAborted = false;
    bool FRunning = false;
    bool FRunPending = false;
    // The pending run's entry has been deleted from the list: its end writes no status.
    bool FEntryDeleted = false;
    // The pending run failed (OnExecuteError): the entry keeps "Error".
    bool FRunFailed = false;
    // The file the pending run was told to write.
    QString FOutputPath;
};
