// A long, mixed queue on the real main window: good streams over HTTP and from local files,
// addresses that fail in every way, a slow server and one that stalls mid-stream, with STOP
// pressed at random (seeded) moments. Every entry must end with a status that tells the truth,
// and the window must leave no converter, descriptor or thread behind.
#include "app/main.h"
#include "doscommand/doscommand.h"
#include "download/downloadlist.h"
#include "support/hlsfixture.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "webservice/webconfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <map>
#include <set>
#include <vector>

namespace {

using testsupport::HttpServer;

enum class TKind { Good, Local, Slow, NotFound, Refused, Garbage, Stall };

const char* KindName(TKind kind) {
    switch (kind) {
    case TKind::Good:
        return "good over HTTP";
    case TKind::Local:
        return "good local playlist";
    case TKind::Slow:
        return "slow server";
    case TKind::NotFound:
        return "404";
    case TKind::Refused:
        return "refused port";
    case TKind::Garbage:
        return "garbage playlist";
    case TKind::Stall:
        return "stalls mid-stream";
    }
    return "?";
}

bool Succeeds(TKind kind) {
    return kind == TKind::Good || kind == TKind::Local || kind == TKind::Slow;
}

QString ProgramFolderFile(const QString& name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

// Every process below this one, children of children included.
std::vector<int> Descendants(int pid) {
    std::vector<int> found;
    const QDir tasks(QStringLiteral("/proc/%1/task").arg(pid));
    for (const QString& task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile children(tasks.filePath(task + QStringLiteral("/children")));
        if (!children.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray& child : children.readAll().split(' ')) {
            bool ok = false;
            const int childPid = child.trimmed().toInt(&ok);
            if (!ok)
                continue;
            found.push_back(childPid);
            for (int grandchild : Descendants(childPid))
                found.push_back(grandchild);
        }
    }
    return found;
}

// The open descriptors, each with what it refers to.
std::set<QString> OpenDescriptors() {
    std::set<QString> open;
    const QDir fds(QStringLiteral("/proc/self/fd"));
    for (const QString& fd : fds.entryList(QDir::System | QDir::NoDotAndDotDot))
        open.insert(fd + QStringLiteral(" -> ") + QFile::symLinkTarget(fds.filePath(fd)));
    return open;
}

int ThreadCount() {
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

class SoakTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FConfig.isValid());
        // The window's update check must never leave this machine.
        webconfig::SetHostForTests(QStringLiteral("127.0.0.1:9"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FConfig.path()));
        QFile::remove(ProgramFolderFile(QStringLiteral("settings.ini")));
    }
    void TearDown() override { QFile::remove(ProgramFolderFile(QStringLiteral("settings.ini"))); }

    QTemporaryDir FConfig;
    testsupport::ShellRecorder FShell;
};

struct TEntry {
    QString caption;
    TKind kind;
    QString folder; // the destination used for this entry alone
};

TEST_F(SoakTest, FiftyMixedEntriesWithStopsAtRandomMoments) {
    testsupport::HlsFixture stream(2);
    ASSERT_TRUE(stream.Ok()) << stream.Error().toStdString();

    HttpServer good;
    good.ServeFolder(stream.Folder());
    QRandomGenerator garbage(4711);
    for (int i = 0; i < 4; ++i) {
        QByteArray body(8 << 10, Qt::Uninitialized);
        for (char& c : body)
            c = char(garbage.bounded(256));
        if (i % 2 != 0) // a playlist head, then nonsense for segment names
            body = "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + body.toBase64() + "\n";
        good.SetReply("/garbage" + QByteArray::number(i) + ".m3u8", {.body = body});
    }
    HttpServer slow;
    slow.ServeFolder(stream.Folder(), 300);
    // Serves the playlist, then never answers a segment.
    HttpServer stall;
    QFile playlistFile(stream.Playlist());
    ASSERT_TRUE(playlistFile.open(QIODevice::ReadOnly));
    const QByteArray playlist = playlistFile.readAll();
    stall.SetHandler([playlist](const HttpServer::Request& request) {
        HttpServer::Reply reply;
        if (request.path.endsWith(".m3u8"))
            reply.body = playlist;
        else
            reply.silent = true;
        return reply;
    });
    const quint16 refused = HttpServer::UnusedPort();

    // The fifty entries, in a seeded order.
    QRandomGenerator random(20240611);
    std::vector<TKind> kinds;
    for (const auto& [kind, count] : std::vector<std::pair<TKind, int>>{{TKind::Good, 12},
                                                                        {TKind::Local, 9},
                                                                        {TKind::Slow, 6},
                                                                        {TKind::NotFound, 6},
                                                                        {TKind::Refused, 5},
                                                                        {TKind::Garbage, 6},
                                                                        {TKind::Stall, 6}})
        kinds.insert(kinds.end(), count, kind);
    std::shuffle(kinds.begin(), kinds.end(), random);
    QTemporaryDir destination;
    std::map<QString, TEntry> entries;
    std::vector<QString> order;
    for (int i = 0; i < int(kinds.size()); ++i) {
        const QString n = QString::number(i);
        QString caption;
        switch (kinds[i]) {
        case TKind::Good:
            caption = good.Url(QStringLiteral("http://"), QStringLiteral("/index.m3u8?e=") + n);
            break;
        case TKind::Local: // the same file, named differently each time
            caption =
                stream.Folder() + QStringLiteral("/.").repeated(i) + QStringLiteral("/index.m3u8");
            break;
        case TKind::Slow:
            caption = slow.Url(QStringLiteral("http://"), QStringLiteral("/index.m3u8?e=") + n);
            break;
        case TKind::NotFound:
            caption = good.Url(QStringLiteral("http://"),
                               QStringLiteral("/missing/") + n + QStringLiteral(".m3u8"));
            break;
        case TKind::Refused:
            caption = QStringLiteral("http://127.0.0.1:%1/e%2.m3u8").arg(refused).arg(i);
            break;
        case TKind::Garbage:
            caption = good.Url(QStringLiteral("http://"),
                               QStringLiteral("/garbage%1.m3u8?e=%2").arg(i % 4).arg(i));
            break;
        case TKind::Stall:
            caption = stall.Url(QStringLiteral("http://"), QStringLiteral("/index.m3u8?e=") + n);
            break;
        }
        const QString folder = destination.filePath(n);
        ASSERT_TRUE(QDir().mkpath(folder));
        entries[caption] = {caption, kinds[i], folder};
        order.push_back(caption);
    }

    // Warm-up: a window that runs one entry and its update check, so that what Qt and the
    // runner keep for the whole process exists before the counts are taken.
    {
        TAppForm warm;
        QTemporaryDir out;
        warm.Edit1->setText(out.path());
        warm.Ekle(stream.Playlist());
        warm.Button1->click();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !warm.Queue().RunPending(); }, 30000));
        testsupport::PumpEvents(2500); // the update check starts after a second and fails
    }
    testsupport::PumpEvents(200);
    const std::set<QString> descriptorsBefore = OpenDescriptors();
    const int threadsBefore = ThreadCount();
    FShell.beeps = 0;

    auto form = std::make_unique<TAppForm>();
    TDownloadList& list = form->List();
    for (const QString& caption : order)
        form->Ekle(caption);
    ASSERT_EQ(list.Count(), 50);
    // Each entry writes into a folder of its own: the field is read afresh as each one starts.
    QObject::connect(&list, &TDownloadList::changed, &list, [&](int first, int count) {
        for (int i = first; i < first + count && i < list.Count(); ++i) {
            if (list.Status(i) == QStringLiteral("Downloading..."))
                form->Edit1->setText(entries.at(list.Caption(i)).folder);
        }
    });

    QElapsedTimer total;
    total.start();
    int rounds = 0, stops = 0, processed = 0;
    std::map<TKind, std::map<QString, int>> outcomes;
    while (list.Count() > 0) {
        ++rounds;
        ASSERT_LT(rounds, 60) << "the queue makes no progress";
        SCOPED_TRACE("round " + std::to_string(rounds));
        // A quarter of the rounds run until the queue ends by itself (or sits on a stalled
        // server); the others are stopped after a random time.
        const bool stopAtRandom = random.bounded(4) != 0;
        const int stopAfterMs = int(random.bounded(2500));
        form->Button1->click();
        QElapsedTimer round;
        round.start();
        QElapsedTimer onEntry;
        onEntry.start();
        qint64 lastIndex = -1;
        bool stopped = false;
        qint64 stoppedAt = -1;
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] {
                if (!form->Queue().Running())
                    return true;
                const qint64 current = form->Queue().CurrentIndex();
                if (current != lastIndex) {
                    lastIndex = current;
                    onEntry.restart();
                }
                const bool stalled = entries.at(list.Caption(int(current))).kind == TKind::Stall &&
                                     onEntry.elapsed() > 1500;
                if ((stopAtRandom && round.elapsed() >= stopAfterMs) || stalled) {
                    stoppedAt = current;
                    stopped = true;
                    form->Button1->click(); // "STOP"
                    return true;
                }
                return false;
            },
            60000));
        if (stopped)
            ++stops;
        // The stopped run's end arrives; until then the button stays disabled.
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !form->Queue().RunPending(); }, 20000));
        EXPECT_TRUE(form->Button1->isEnabled());
        EXPECT_EQ(form->Button1->text(), QStringLiteral("Download"));
        EXPECT_TRUE(Descendants(int(QCoreApplication::applicationPid())).empty())
            << "a converter outlived its run";

        // Every status tells the truth.
        const int reached = stopped ? int(stoppedAt) + 1 : list.Count();
        for (int i = 0; i < list.Count(); ++i) {
            const TEntry& entry = entries.at(list.Caption(i));
            const QString status = list.Status(i);
            SCOPED_TRACE(std::string(KindName(entry.kind)) + ": " + entry.caption.toStdString());
            const QString output = QDir(entry.folder).filePath(QStringLiteral("output.mp4"));
            if (i >= reached) {
                EXPECT_EQ(status, QString()) << "an entry not reached has a status";
                EXPECT_TRUE(QDir(entry.folder).isEmpty()) << "an entry not reached left a file";
                continue;
            }
            ++outcomes[entry.kind][status];
            if (stopped && i == reached - 1) {
                EXPECT_EQ(status, QStringLiteral("Aborted"));
            } else if (Succeeds(entry.kind)) {
                EXPECT_EQ(status, QStringLiteral("Complete"));
            } else {
                EXPECT_EQ(status, QStringLiteral("Error"));
            }
            if (status == QStringLiteral("Complete")) {
                const testsupport::MediaInfo info = testsupport::Probe(output);
                EXPECT_TRUE(info.ok) << "Complete, but: " << info.error.toStdString();
                EXPECT_EQ(info.codecs,
                          QStringList({QStringLiteral("h264"), QStringLiteral("aac")}));
                EXPECT_GT(info.duration, stream.Seconds() - 0.5);
            }
        }
        // The entries that ran make way for the rest, so that every entry runs once.
        for (int i = reached - 1; i >= 0; --i)
            list.Delete(i);
        processed += reached;
    }
    EXPECT_EQ(processed, 50);
    EXPECT_EQ(FShell.beeps, rounds);
    EXPECT_TRUE(FShell.messages.empty()) << "a message box was shown";
    std::cout << "[          ] " << rounds << " rounds, " << stops << " stops, " << total.elapsed()
              << " ms\n";
    for (const auto& [kind, statuses] : outcomes) {
        std::cout << "[          ] " << KindName(kind) << ":";
        for (const auto& [status, count] : statuses)
            std::cout << " " << status.toStdString() << " x" << count;
        std::cout << "\n";
    }

    form.reset();
    testsupport::PumpEvents(200);
    EXPECT_TRUE(Descendants(int(QCoreApplication::applicationPid())).empty());
    EXPECT_EQ(ThreadCount(), threadsBefore) << "a thread was left over";
    const std::set<QString> descriptorsAfter = OpenDescriptors();
    std::vector<QString> leaked;
    std::set_difference(descriptorsAfter.begin(), descriptorsAfter.end(), descriptorsBefore.begin(),
                        descriptorsBefore.end(), std::back_inserter(leaked));
    for (const QString& fd : leaked)
        ADD_FAILURE() << "descriptor left open: " << fd.toStdString();
}

// A converter whose output is hostile: a flood of lines with every kind of ending, NULs,
// bytes that are not UTF-8, characters cut across reads, a two-megabyte line and a last line
// without an ending. Every line must reach the log, once and in order; and a converter that
// dies by a signal or exits without leaving a file is no success.
TEST_F(SoakTest, HostileConverterOutputLosesNoLine) {
    QTemporaryDir bin;
    ASSERT_TRUE(bin.isValid());
    // Found before the real converter: the program looks for "ffmpeg.exe" first everywhere.
    const QString fake = bin.filePath(QStringLiteral("ffmpeg.exe"));
    {
        QFile script(fake);
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n"
                     "cat \"$SOAK_OUTPUT\"\n"
                     "for last; do :; done\n"
                     "[ -n \"$SOAK_FILE\" ] && cp \"$SOAK_FILE\" \"$last\"\n"
                     "[ \"$SOAK_END\" = kill ] && kill -9 $$\n"
                     "exit \"${SOAK_EXIT:-0}\"\n");
        script.close();
        ASSERT_TRUE(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    testsupport::HlsFixture stream(2);
    ASSERT_TRUE(stream.Ok()) << stream.Error().toStdString();
    QTemporaryDir out;
    const QString media = out.filePath(QStringLiteral("media.mp4"));
    {
        // A real file for the fake to leave behind.
        TAppForm maker;
        maker.Edit1->setText(out.path());
        maker.Ekle(stream.Playlist());
        maker.Button1->click();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !maker.Queue().RunPending(); }, 30000));
        ASSERT_TRUE(QFile::rename(out.filePath(QStringLiteral("output.mp4")), media));
    }

    // The output, and the lines the log must show for it.
    QByteArray bytes;
    QStringList expected;
    const QByteArray endings[] = {"\n", "\r\n", "\r"};
    for (int i = 0; i < 60000; ++i) {
        QByteArray text = "line " + QByteArray::number(i) + " ";
        QString shown = QString::fromLatin1(text);
        switch (i % 7) {
        case 1:
            text += QByteArray("a\0b", 3); // NUL is no character of a line
            shown += QStringLiteral("ab");
            break;
        case 2:
            text += "\xFF\xFE"; // not UTF-8
            shown += QStringLiteral("\uFFFD\uFFFD");
            break;
        case 3:
            text += "\xE2\x82\xAC\xF0\x9F\x98\x80"; // cut anywhere by the reads
            shown += QStringLiteral("\u20AC\U0001F600");
            break;
        case 4:
            if (i == 30004) {
                text += QByteArray(2 << 20, 'L');
                shown += QString(2 << 20, QLatin1Char('L'));
            }
            break;
        default:
            break;
        }
        bytes += text + endings[i % 3];
        expected << shown;
    }
    bytes += "no ending";
    expected << QStringLiteral("no ending");
    const QString outputFile = bin.filePath(QStringLiteral("output.txt"));
    {
        QFile f(outputFile);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_EQ(f.write(bytes), bytes.size());
    }
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ":" + savedPath);
    qputenv("SOAK_OUTPUT", QFile::encodeName(outputFile));

    struct Case {
        const char* name;
        QByteArray file, end, exit;
        QString status;
    };
    const Case cases[] = {
        {"leaves a file, exits 0", QFile::encodeName(media), "", "0", QStringLiteral("Complete")},
        {"leaves a file, exits 1", QFile::encodeName(media), "", "1", QStringLiteral("Error")},
        {"killed by a signal", QFile::encodeName(media), "kill", "0", QStringLiteral("Error")},
        {"no file, exits 0", "", "", "0", QStringLiteral("Error")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        qputenv("SOAK_FILE", c.file);
        qputenv("SOAK_END", c.end);
        qputenv("SOAK_EXIT", c.exit);
        QTemporaryDir destination;
        TAppForm form;
        form.Edit1->setText(destination.path());
        form.Ekle(QStringLiteral("http://127.0.0.1:9/x.m3u8"));
        QElapsedTimer clock;
        clock.start();
        form.Button1->click();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !form.Queue().RunPending(); }, 100000));
        std::cout << "[          ] " << c.name << ": " << clock.elapsed() << " ms\n";
        EXPECT_EQ(form.List().Status(0), c.status);
        const QStringList log = form.Memo1->toPlainText().split(QLatin1Char('\n'));
        ASSERT_EQ(log.size(), expected.size());
        for (qsizetype i = 0; i < log.size(); ++i)
            ASSERT_EQ(log[i], expected[i]) << "line " << i;
    }
    qputenv("PATH", savedPath);
    EXPECT_TRUE(FShell.messages.empty());
    // A finished worker is deleted by a delivery to the main thread; let the last one run before
    // the test program ends, or the leak checker sees it.
    testsupport::PumpEvents(200);
}

} // namespace
