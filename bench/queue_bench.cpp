// The download queue against ffmpeg run directly: five local playlists downloaded by the queue
// (list, runner, queue) and the same five converter command lines run one after another with
// QProcess, alternating over several rounds. Prints the ratio of the total times and the time
// each entry adds on top of its converter, plus the queue's own share of that (from a run's
// end reaching the queue to the next converter having been asked to start).

#include "download/downloadlist.h"
#include "download/queue.h"
#include "platform/cmdline.h"
#include "support/hlsfixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kEntries = 5;
constexpr int kRounds = 5;

struct QuietView : TQueueView {
    QString destination;
    bool finished = false;
    QString Destination() override { return destination; }
    void SetRunningLook(bool running) override {
        if (!running)
            finished = true;
    }
    void SetButtonEnabled(bool) override {}
    void ClearLog() override {}
    void AppendLog(const QString&) override {}
    void ShowLog() override {}
    void ProcessMessages() override {}
    void Beep() override {}
};

struct QueueRun {
    double totalMs = 0;
    double worstHandlerGapMs = 0; // a run's end reaching the queue .. the next Execute returned
};

QueueRun RunQueue(const QStringList& playlists, const QString& destination) {
    TDownloadList list;
    TDosCommand runner;
    QuietView view;
    view.destination = destination;
    TDownloadQueue queue(list, runner, view);
    for (const QString& p : playlists)
        list.Ekle(p);

    QueueRun result;
    // Time the queue's own end handler: from a run's end reaching it until it has asked the
    // runner for the next converter.
    const TNotifyEvent queueHandler = runner.OnTerminated();
    runner.SetOnTerminated([&](TDosCommand* sender) {
        QElapsedTimer handler;
        handler.start();
        queueHandler(sender);
        if (runner.IsRunning())
            result.worstHandlerGapMs =
                std::max(result.worstHandlerGapMs, handler.nsecsElapsed() / 1e6);
    });
    QElapsedTimer clock;
    clock.start();
    queue.Button1Click();
    while (!view.finished || queue.RunPending())
        // Blocks until something arrives: the overload with a time limit would spin and steal
        // the runner threads' core.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    result.totalMs = clock.nsecsElapsed() / 1e6;
    for (int i = 0; i < list.Count(); ++i) {
        if (list.Status(i) != TDownloadQueue::StatusComplete)
            std::fprintf(stderr, "entry %d ended \"%s\"\n", i, qPrintable(list.Status(i)));
    }
    return result;
}

double RunDirect(const QStringList& playlists, const QString& destination) {
    QElapsedTimer clock;
    clock.start();
    for (const QString& playlist : playlists) {
        QStringList args = platform::SplitCommandLine(TDownloadQueue::ConverterCommandLine(
            playlist, TDownloadQueue::OutputPath(destination)));
        args.removeFirst();
        QProcess ffmpeg;
        ffmpeg.setProcessChannelMode(QProcess::MergedChannels);
        ffmpeg.start(platform::FindProgram(QStringLiteral("ffmpeg.exe")), args);
        ffmpeg.waitForFinished(-1);
        ffmpeg.readAll();
        if (ffmpeg.exitCode() != 0)
            std::fprintf(stderr, "ffmpeg failed for %s\n", qPrintable(playlist));
    }
    return clock.nsecsElapsed() / 1e6;
}

// The same command lines through the runner alone, each started from the previous one's end
// handler as the queue does: separates the runner's share of the overhead from the queue's.
double RunRunnerOnly(const QStringList& playlists, const QString& destination) {
    TDosCommand runner;
    int next = 0;
    bool done = false;
    const auto startNext = [&] {
        if (next == playlists.size()) {
            done = true;
            return;
        }
        runner.SetCommandLine(TDownloadQueue::ConverterCommandLine(
            playlists[next++], TDownloadQueue::OutputPath(destination)));
        runner.Execute();
    };
    runner.SetOnTerminated([&](TDosCommand*) { startNext(); });
    QElapsedTimer clock;
    clock.start();
    startNext();
    while (!done)
        // Blocks until something arrives: the overload with a time limit would spin and steal
        // the runner threads' core.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return clock.nsecsElapsed() / 1e6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const testsupport::HlsFixture stream(6);
    if (!stream.Ok()) {
        std::fprintf(stderr, "%s\n", qPrintable(stream.Error()));
        return 1;
    }
    QTemporaryDir work;
    QStringList playlists;
    for (int i = 0; i < kEntries; ++i)
        playlists << stream.CopyTo(work.filePath(QStringLiteral("in%1").arg(i)),
                                   QStringLiteral("index.m3u8"));

    std::vector<double> queued, direct, runnerOnly, handlerGaps;
    for (int round = 0; round < kRounds; ++round) {
        const QString q = work.filePath(QStringLiteral("queue%1").arg(round));
        const QString d = work.filePath(QStringLiteral("direct%1").arg(round));
        QDir().mkpath(q);
        QDir().mkpath(d);
        const QueueRun run = RunQueue(playlists, q);
        queued.push_back(run.totalMs);
        handlerGaps.push_back(run.worstHandlerGapMs);
        direct.push_back(RunDirect(playlists, d));
        const QString r = work.filePath(QStringLiteral("runner%1").arg(round));
        QDir().mkpath(r);
        runnerOnly.push_back(RunRunnerOnly(playlists, r));
    }
    const double q = Median(queued);
    const double d = Median(direct);
    std::printf("five entries, %d-second stream, median of %d rounds\n", stream.Seconds(), kRounds);
    const double r = Median(runnerOnly);
    std::printf("  queue:       %8.1f ms\n  runner only: %8.1f ms\n  direct:      %8.1f ms\n", q, r,
                d);
    std::printf("  ratio queue/direct: %.3f (goal <= 1.05)\n", q / d);
    std::printf("  time added per entry: %.1f ms (goal < 20 ms), of which the runner's: %.1f ms\n",
                (q - d) / kEntries, (r - d) / kEntries);
    std::printf("  worst end-to-next-start in the queue's handler: %.2f ms\n",
                *std::max_element(handlerGaps.begin(), handlerGaps.end()));
    return 0;
}
