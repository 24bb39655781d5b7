// The download queue end to end: a real runner starting the real ffmpeg, HLS streams served by
// the local test server on 127.0.0.1 or read from local files, real output files checked with
// ffprobe.

#include "download/downloadlist.h"
#include "download/queue.h"
#include "platform/cmdline.h"
#include "support/hlsfixture.h"
#include "support/httpserver.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "qtprint.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <optional>

using testsupport::HttpServer;
using testsupport::WaitUntil;

namespace {

constexpr int kRunTimeoutMs = 60000;

// The window as the queue sees it, recording what it is told.
struct RecordingView : TQueueView {
    QString destination;
    bool running = false;
    bool buttonEnabled = true;
    bool logShown = false;
    int logClears = 0;
    int beeps = 0;
    QStringList log;
    std::function<void()> onProcessMessages;

    QString Destination() override { return destination; }
    void SetRunningLook(bool r) override { running = r; }
    void SetButtonEnabled(bool enabled) override { buttonEnabled = enabled; }
    void ClearLog() override {
        ++logClears;
        log.clear();
    }
    void AppendLog(const QString& line) override { log << line; }
    void ShowLog() override { logShown = true; }
    void ProcessMessages() override {
        if (onProcessMessages)
            onProcessMessages();
    }
    void Beep() override { ++beeps; }
};

// One stream made per test program: ffmpeg takes a moment to encode it.
const testsupport::HlsFixture& Stream() {
    static const testsupport::HlsFixture fixture(3);
    return fixture;
}

// The list, runner, view and queue of one main window, built and torn down in its order.
struct Window {
    TDownloadList list;
    TDosCommand runner;
    RecordingView view;
    std::optional<TDownloadQueue> queue;
    // Every status each row has shown, in order, followed across deletions.
    std::vector<QStringList> history;
    // Every single-row status change, in order: "row:status".
    QStringList changes;

    explicit Window(const QString& destination) {
        view.destination = destination;
        queue.emplace(list, runner, view);
        QObject::connect(&list, &TDownloadList::appended, [this](int first, int count) {
            for (int i = 0; i < count; ++i)
                history.insert(history.begin() + first + i, QStringList());
        });
        QObject::connect(&list, &TDownloadList::removed, [this](int first, int count) {
            history.erase(history.begin() + first, history.begin() + first + count);
        });
        QObject::connect(&list, &TDownloadList::changed, [this](int first, int count) {
            if (count == 1)
                changes << QString::number(first) + ":" + list.Status(first);
            for (int i = first; i < first + count; ++i) {
                const QString status = list.Status(i);
                if (history[i].isEmpty() || history[i].last() != status)
                    history[i] << status;
            }
        });
    }
    ~Window() { queue.reset(); }

    QString Status(int i) const { return list.Status(i); }
    bool WaitIdle(int timeoutMs = kRunTimeoutMs) {
        return WaitUntil([this] { return !queue->Running() && !queue->RunPending(); }, timeoutMs);
    }
};

void ExpectStream(const QString& file) {
    const testsupport::MediaInfo info = testsupport::Probe(file);
    ASSERT_TRUE(info.ok) << qPrintable(file) << ": " << qPrintable(info.error);
    EXPECT_EQ(info.codecs, QStringList({"h264", "aac"})) << qPrintable(file);
    EXPECT_NEAR(info.duration, Stream().Seconds(), 0.3) << qPrintable(file);
}

QStringList FilesIn(const QString& folder) {
    return QDir(folder).entryList(QDir::Files, QDir::Name);
}

class QueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Stream().Ok()) << qPrintable(Stream().Error());
        ASSERT_TRUE(out.isValid());
        fast.ServeFolder(Stream().Folder());
        // Slow enough to be stopped or deleted in the middle of a run.
        slow.ServeFolder(Stream().Folder(), 700);
        TDosCommand::SetShowErrorHook([this](const QString& caption, const QString& text) {
            boxes.push_back({caption, text});
        });
    }
    void TearDown() override { TDosCommand::SetShowErrorHook(nullptr); }

    QString FastUrl() const { return fast.Url("http://", "/index.m3u8"); }
    QString SlowUrl() const { return slow.Url("http://", "/index.m3u8"); }

    QTemporaryDir out;
    HttpServer fast;
    HttpServer slow;
    // The runner's message box, as the main window shows it.
    struct Box {
        QString caption;
        QString text;
    };
    std::vector<Box> boxes;
};

} // namespace

TEST(QueueCommandLine, EveryAddressAndPathReachesTheConverterAsOneArgument) {
    EXPECT_EQ(TDownloadQueue::ConverterCommandLine("http://127.0.0.1:8080/a/index.m3u8",
                                                   "/home/u/Videos/output.mp4"),
              "ffmpeg.exe -i \"http://127.0.0.1:8080/a/index.m3u8\" -c copy -bsf:a aac_adtstoasc "
              "\"/home/u/Videos/output.mp4\"");

    const QStringList awkward{
        "plain",
        "with blanks in it",
        "x\" -y -f null \"",
        "\"",
        "ends with a backslash\\",
        "ends\\with\\backslash\\\\",
        "quote\\\"after backslash",
        "line\nbreak",
        "\tTab",
        "Ünïcödé ✓",
        "",
    };
    for (const QString& url : awkward) {
        for (const QString& path : awkward) {
            const QStringList args = platform::SplitCommandLine(
                TDownloadQueue::ConverterCommandLine(url, path + "/output.mp4"));
            EXPECT_EQ(args, QStringList({"ffmpeg.exe", "-i", url, "-c", "copy", "-bsf:a",
                                         "aac_adtstoasc", path + "/output.mp4"}))
                << qPrintable(url) << " | " << qPrintable(path);
        }
    }
}

TEST(QueueOutputPath, FirstFreeNameCountsOnlyFilesAndFollowsLinks) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString d = dir.path();
    const auto touch = [&](const QString& name) {
        QFile f(d + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    };

    EXPECT_EQ(TDownloadQueue::OutputPath(d), d + "/output.mp4");
    touch("output.mp4");
    touch("output (3).mp4");
    EXPECT_EQ(TDownloadQueue::OutputPath(d), d + "/output (2).mp4") << "gaps are filled";
    touch("output (2).mp4");
    EXPECT_EQ(TDownloadQueue::OutputPath(d), d + "/output (4).mp4");

    // A folder of that name is no file; a link to a file is; a dangling link is not.
    ASSERT_TRUE(QDir(d).mkdir("output (4).mp4"));
    EXPECT_EQ(TDownloadQueue::OutputPath(d), d + "/output (4).mp4");
    ASSERT_TRUE(QDir(d).rmdir("output (4).mp4"));
    ASSERT_TRUE(QFile::link(d + "/output.mp4", d + "/output (4).mp4"));
    ASSERT_TRUE(QFile::link(d + "/nothing-here", d + "/output (5).mp4"));
    EXPECT_EQ(TDownloadQueue::OutputPath(d), d + "/output (5).mp4");

    // The field's text is taken unchanged: a trailing separator gives two in a row.
    EXPECT_EQ(TDownloadQueue::OutputPath(d + "/"), d + "//output (5).mp4");
}

TEST_F(QueueTest, EmptyListDoesNothing) {
    Window w(out.path());
    w.view.log << "earlier";
    w.queue->Button1Click();
    EXPECT_FALSE(w.queue->Running());
    EXPECT_FALSE(w.view.running);
    EXPECT_EQ(w.view.beeps, 0);
    EXPECT_EQ(w.view.logClears, 0);
    EXPECT_FALSE(w.view.logShown);
    EXPECT_EQ(w.view.log, QStringList({"earlier"}));
}

TEST_F(QueueTest, ThreeEntriesRunOneAfterAnotherAndAgainIntoTheNextNames) {
    Window w(out.path());
    w.list.Ekle(FastUrl());
    w.list.Ekle(fast.Url("http://", "/index.m3u8?second"));
    w.list.Ekle(Stream().Playlist());

    w.queue->Button1Click();
    EXPECT_TRUE(w.view.running);
    EXPECT_TRUE(w.view.logShown);
    EXPECT_EQ(w.view.logClears, 1);
    EXPECT_EQ(w.Status(0), "Downloading...");
    EXPECT_EQ(w.Status(1), "");
    ASSERT_TRUE(w.WaitIdle());

    EXPECT_EQ(w.changes, QStringList({"0:Downloading...", "0:Complete", "1:Downloading...",
                                      "1:Complete", "2:Downloading...", "2:Complete"}));
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_FALSE(w.view.running);
    EXPECT_TRUE(w.view.buttonEnabled);
    EXPECT_EQ(FilesIn(out.path()), QStringList({"output (2).mp4", "output (3).mp4", "output.mp4"}));
    for (const QString& name : FilesIn(out.path()))
        ExpectStream(out.filePath(name));
    EXPECT_GT(w.view.log.size(), 3) << "the converter's output reaches the log";
    EXPECT_FALSE(w.view.log.contains("Execution Error!"));

    // A second queue clears every status and fills the next free names.
    w.queue->Button1Click();
    EXPECT_EQ(w.view.logClears, 2);
    EXPECT_EQ(w.Status(0), "Downloading...");
    EXPECT_EQ(w.Status(1), "");
    EXPECT_EQ(w.Status(2), "");
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.view.beeps, 2);
    EXPECT_EQ(FilesIn(out.path()).size(), 6);
    for (const char* name : {"output (4).mp4", "output (5).mp4", "output (6).mp4"})
        ExpectStream(out.filePath(name));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(QueueTest, StopMarksTheRunningEntryAbortedOnceItHasEnded) {
    Window w(out.path());
    w.list.Ekle(FastUrl());
    w.list.Ekle(SlowUrl());
    w.list.Ekle(fast.Url("http://", "/index.m3u8?third"));

    w.queue->Button1Click();
    ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() > 0; }, kRunTimeoutMs));
    EXPECT_EQ(w.Status(0), "Complete");
    EXPECT_EQ(w.Status(1), "Downloading...");

    w.queue->Button1Click(); // STOP
    // Idle at once, while the converter is still ending.
    EXPECT_FALSE(w.view.running);
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_TRUE(w.queue->RunPending());
    EXPECT_EQ(w.Status(1), "Downloading...");

    // Download pressed before the stopped run has ended starts nothing: the button is off,
    // and a click that gets through anyway is refused.
    EXPECT_FALSE(w.view.buttonEnabled);
    w.queue->Button1Click();
    EXPECT_FALSE(w.view.running);
    EXPECT_EQ(w.view.logClears, 1);

    ASSERT_TRUE(w.WaitIdle());
    EXPECT_TRUE(w.view.buttonEnabled);
    EXPECT_EQ(w.Status(0), "Complete");
    EXPECT_EQ(w.Status(1), "Aborted");
    EXPECT_EQ(w.Status(2), "");
    EXPECT_EQ(w.history[2], QStringList({""}));
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_EQ(fast.RequestCount(), 1 + Stream().SegmentCount()) << "the third never started";

    // Now a new queue starts from the first entry, and the stopped run's end is not its.
    w.list.Delete(1);
    w.queue->Button1Click();
    EXPECT_TRUE(w.view.running);
    EXPECT_EQ(w.Status(0), "Downloading...");
    EXPECT_EQ(w.Status(1), "");
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.Status(0), "Complete");
    EXPECT_EQ(w.Status(1), "Complete");
    EXPECT_EQ(w.view.beeps, 2);
}

TEST_F(QueueTest, LocalPlaylistsAwkwardNamesAndAFailingAddress) {
    // A destination with blanks and non-ASCII letters, a local playlist whose name holds a
    // double quote that would otherwise hand the converter an option of its own, and an
    // address the server does not have.
    const QString destination = out.filePath("Zielordner mit Lücken ÄÖÜ");
    ASSERT_TRUE(QDir().mkpath(destination));
    QTemporaryDir in;
    ASSERT_TRUE(in.isValid());
    const QString quoted = Stream().CopyTo(in.filePath("ein \"Ordner\""), "x\" -t 1 -y \"y.m3u8");
    ASSERT_FALSE(quoted.isEmpty());

    Window w(destination);
    w.list.Ekle(Stream().Playlist());
    w.list.Ekle(fast.Url("http://", "/missing.m3u8"));
    w.list.Ekle(quoted);
    w.queue->Button1Click();
    ASSERT_TRUE(w.WaitIdle());

    EXPECT_EQ(w.Status(0), "Complete");
    EXPECT_EQ(w.Status(1), "Error");
    EXPECT_EQ(w.Status(2), "Complete");
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_TRUE(w.view.log.join("\n").contains("404")) << qPrintable(w.view.log.join("\n"));
    EXPECT_FALSE(w.view.log.contains("Execution Error!"));
    EXPECT_EQ(FilesIn(destination), QStringList({"output (2).mp4", "output.mp4"}));
    ExpectStream(destination + "/output.mp4");
    ExpectStream(destination + "/output (2).mp4");
    EXPECT_TRUE(boxes.empty());
}

TEST_F(QueueTest, UnwritableDestinationIsAnError) {
    Window w(out.filePath("no such folder"));
    w.list.Ekle(Stream().Playlist());
    w.queue->Button1Click();
    ASSERT_TRUE(w.WaitIdle());
    EXPECT_EQ(w.Status(0), "Error");
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_TRUE(FilesIn(out.path()).isEmpty());
}

TEST_F(QueueTest, MissingConverterEndsTheQueueWithAnExecutionError) {
    QTemporaryDir emptyPath;
    ASSERT_TRUE(emptyPath.isValid());
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(emptyPath.path()));

    Window w(out.path());
    w.list.Ekle(Stream().Playlist());
    w.list.Ekle(FastUrl());
    w.queue->Button1Click();
    const bool idle = w.WaitIdle();
    qputenv("PATH", savedPath);
    ASSERT_TRUE(idle);

    EXPECT_EQ(w.Status(0), "Error");
    EXPECT_EQ(w.history[1], QStringList({""})) << "later entries are untouched";
    EXPECT_TRUE(w.view.log.contains("Execution Error!"));
    EXPECT_FALSE(w.view.running);
    EXPECT_TRUE(w.view.buttonEnabled);
    EXPECT_EQ(w.view.beeps, 1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].caption, QFileInfo(QCoreApplication::applicationFilePath()).fileName());
    EXPECT_TRUE(boxes[0].text.startsWith("ECreateProcessError\r\nError creating Process: "
                                         "ffmpeg.exe -i \""))
        << qPrintable(boxes[0].text);
    EXPECT_EQ(fast.RequestCount(), 0);
    EXPECT_TRUE(FilesIn(out.path()).isEmpty());
}

TEST_F(QueueTest, ARunnerThatRefusesToStartEndsTheQueueInsteadOfHangingIt) {
    Window w(out.path());
    w.list.Ekle(FastUrl());
    w.list.Ekle(Stream().Playlist());
    // A run the queue did not start keeps the runner busy.
    w.runner.SetCommandLine(
        TDownloadQueue::ConverterCommandLine(SlowUrl(), out.filePath("other.mp4")));
    w.runner.Execute();

    w.queue->Button1Click();
    EXPECT_FALSE(w.view.running);
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_EQ(w.Status(0), "Error");
    EXPECT_EQ(w.Status(1), "");
    EXPECT_EQ(w.view.log, QStringList({"Execution Error!", "DosCommand still running"}));

    // That run's end is not taken for the queue's.
    w.runner.Stop();
    ASSERT_TRUE(WaitUntil([&] { return !w.runner.IsRunning(); }, kRunTimeoutMs));
    EXPECT_EQ(w.Status(0), "Error");
    EXPECT_EQ(w.Status(1), "");
    EXPECT_EQ(w.view.beeps, 1);
    EXPECT_EQ(fast.RequestCount(), 0);
}

TEST_F(QueueTest, ChangesDuringARunAreTakenUp) {
    // While the first entry runs: an entry is added, a later one edited, and the destination
    // changed. The same queue reaches all of them, and later entries go to the new folder.
    const QString second = out.filePath("second");
    ASSERT_TRUE(QDir().mkpath(second));
    Window w(out.path());
    w.list.Ekle(SlowUrl());
    w.list.Ekle(fast.Url("http://", "/not-yet-edited.m3u8"));
    w.queue->Button1Click();
    ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() > 0; }, kRunTimeoutMs));
    w.list.Ekle(Stream().Playlist());
    w.list.SetCaption(1, FastUrl());
    w.view.destination = second;
    ASSERT_TRUE(w.WaitIdle());

    EXPECT_EQ(w.Status(0), "Complete");
    EXPECT_EQ(w.Status(1), "Complete");
    EXPECT_EQ(w.Status(2), "Complete");
    EXPECT_EQ(FilesIn(out.path()), QStringList({"output.mp4"}));
    EXPECT_EQ(FilesIn(second), QStringList({"output (2).mp4", "output.mp4"}));
    EXPECT_EQ(w.view.beeps, 1);
}

TEST_F(QueueTest, DeletingEntriesDuringARunKeepsEveryStatusOnItsOwnEntry) {
    // An entry before the running one goes: the running one still gets its own status.
    {
        Window w(out.filePath("a"));
        ASSERT_TRUE(QDir().mkpath(out.filePath("a")));
        w.list.Ekle(Stream().Playlist());
        w.list.Ekle(SlowUrl());
        w.list.Ekle(FastUrl());
        w.queue->Button1Click();
        ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() > 0; }, kRunTimeoutMs));
        w.list.Delete(0);
        EXPECT_EQ(w.queue->CurrentIndex(), 0);
        ASSERT_TRUE(w.WaitIdle());
        EXPECT_EQ(w.list.Caption(0), SlowUrl());
        EXPECT_EQ(w.history[0], QStringList({"", "Downloading...", "Complete"}));
        EXPECT_EQ(w.history[1], QStringList({"", "Downloading...", "Complete"}));
        EXPECT_EQ(FilesIn(out.filePath("a")).size(), 3);
    }
    // The running entry goes: its converter stops, and the next entry runs.
    {
        slow.ClearRequests();
        Window w(out.filePath("b"));
        ASSERT_TRUE(QDir().mkpath(out.filePath("b")));
        w.list.Ekle(SlowUrl());
        w.list.Ekle(FastUrl());
        w.queue->Button1Click();
        ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() > 0; }, kRunTimeoutMs));
        w.list.Delete(0);
        ASSERT_TRUE(w.WaitIdle());
        ASSERT_EQ(w.list.Count(), 1);
        EXPECT_EQ(w.history[0], QStringList({"", "Downloading...", "Complete"}));
        EXPECT_EQ(w.view.beeps, 1);
        EXPECT_LT(slow.RequestCount(), 1 + Stream().SegmentCount()) << "stopped early";
        // The stopped converter left a partial file or none; the next one chose after it.
        const QStringList files = FilesIn(out.filePath("b"));
        ASSERT_FALSE(files.isEmpty());
        ExpectStream(out.filePath(files.size() == 1 ? "b/output.mp4" : "b/output (2).mp4"));
    }
    // "Delete All" ends the queue as STOP does.
    {
        slow.ClearRequests();
        fast.ClearRequests();
        Window w(out.filePath("c"));
        ASSERT_TRUE(QDir().mkpath(out.filePath("c")));
        w.list.Ekle(SlowUrl());
        w.list.Ekle(FastUrl());
        w.queue->Button1Click();
        ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() > 0; }, kRunTimeoutMs));
        w.list.Clear();
        EXPECT_FALSE(w.view.running);
        EXPECT_EQ(w.view.beeps, 1);
        EXPECT_FALSE(w.view.buttonEnabled);
        ASSERT_TRUE(w.WaitIdle());
        EXPECT_TRUE(w.view.buttonEnabled);
        EXPECT_EQ(w.view.beeps, 1);
        EXPECT_EQ(fast.RequestCount(), 0) << "the entry after the running one never ran";
    }
}

namespace {

// Processes whose command line mentions text: the converter runs started for one folder.
int ProcessesMentioning(const QString& text) {
    int found = 0;
    QDirIterator it("/proc", {}, QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        QFile cmdline(it.next() + "/cmdline");
        if (!cmdline.open(QIODevice::ReadOnly))
            continue;
        if (QString::fromUtf8(cmdline.readAll()).contains(text))
            ++found;
    }
    return found;
}

} // namespace

TEST_F(QueueTest, ClosingTheWindowEndsTheConverter) {
    const QString destination =
        out.filePath("closing-" + QString::number(QCoreApplication::applicationPid()));
    ASSERT_TRUE(QDir().mkpath(destination));
    {
        Window w(destination);
        w.list.Ekle(SlowUrl());
        w.queue->Button1Click();
        ASSERT_TRUE(WaitUntil([&] { return slow.RequestCount() > 0; }, kRunTimeoutMs));
        ASSERT_EQ(ProcessesMentioning(destination), 1);
        // The window goes first, with the queue's handlers; nothing may reach it afterwards.
        w.queue.reset();
    }
    EXPECT_EQ(ProcessesMentioning(destination), 0) << "no converter outlives the window";
    const QStringList files = FilesIn(destination);
    qint64 size = files.isEmpty() ? 0 : QFileInfo(destination + "/" + files[0]).size();
    testsupport::PumpEvents(1500);
    EXPECT_EQ(files.isEmpty() ? 0 : QFileInfo(destination + "/" + files[0]).size(), size);
}
