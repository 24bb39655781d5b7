// Names dropped on the main window and clipboard texts read by the add dialog, treated as
// hostile: very long, control characters, NUL, unpaired surrogates, vast numbers of them.
#include "app/main.h"
#include "download/addurlform.h"
#include "download/downloadlist.h"
#include "support/hlsfixture.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "webservice/webconfig.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <QUrl>

#include <gtest/gtest.h>

#include <iostream>

namespace {

QString ProgramFolderFile(const QString& name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

class HostileNamesTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FConfig.isValid());
        ASSERT_TRUE(FDir.isValid());
        webconfig::SetHostForTests(QStringLiteral("127.0.0.1:9"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FConfig.path()));
        QFile::remove(ProgramFolderFile(QStringLiteral("settings.ini")));
    }
    void TearDown() override {
        QGuiApplication::clipboard()->clear();
        QFile::remove(ProgramFolderFile(QStringLiteral("settings.ini")));
    }

    QString InDir(const QString& name) const { return FDir.path() + QLatin1Char('/') + name; }

    QTemporaryDir FConfig;
    QTemporaryDir FDir;
    testsupport::ShellRecorder FShell;
};

QString Surrogate(char16_t unit) {
    return QString(QChar(unit));
}

TEST_F(HostileNamesTest, DroppedNames) {
    ASSERT_TRUE(QDir(FDir.path()).mkdir(QStringLiteral("folder.m3u8")));
    struct Case {
        const char* name;
        QString path;
        bool added;
    };
    const QString longName = QString(100000 - 6, QLatin1Char('n')) + QStringLiteral(".m3u8");
    const Case cases[] = {
        {"100 000 characters", InDir(longName), true},
        {"control characters", InDir(QStringLiteral("a\x01\x1f\x7f\t.m3u8")), true},
        {"line breaks", InDir(QStringLiteral("a\r\nb\rc\n.M3U8")), true},
        {"NUL inside", InDir(QStringLiteral("a")) + QChar(0) + QStringLiteral("b.m3u8"), true},
        {"NUL after a folder", FDir.path() + QChar(0) + QStringLiteral("x.m3u8"), true},
        {"lone high surrogate", InDir(Surrogate(0xD800) + QStringLiteral(".m3u8")), true},
        {"lone low surrogate", InDir(QStringLiteral("x") + Surrogate(0xDC00) + ".m3u8"), true},
        {"surrogates swapped",
         InDir(Surrogate(0xDE00) + Surrogate(0xD83D) + QStringLiteral(".m3u8")), true},
        {"surrogate in the extension", InDir(QStringLiteral("x.m3u") + Surrogate(0xD800)), false},
        {"only the extension", InDir(QStringLiteral(".m3u8")), true},
        {"trailing slash", InDir(QStringLiteral("x.m3u8/")), false},
        {"a folder", InDir(QStringLiteral("folder.m3u8")), false},
        {"dot in the folder only", InDir(QStringLiteral("d.m3u8/file")), false},
    };
    TAppForm form;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = form.List().Count();
        const QUrl url = QUrl::fromLocalFile(c.path);
        form.WMDropFiles({url});
        ASSERT_EQ(form.List().Count(), before + (c.added ? 1 : 0));
        if (c.added) { // the name as it arrived, whole
            EXPECT_EQ(form.List().Caption(before), url.toLocalFile());
        }
    }
    // Addresses that are not local files, and no names at all.
    const int before = form.List().Count();
    form.WMDropFiles({QUrl(QStringLiteral("http://127.0.0.1:9/x.m3u8")), QUrl(),
                      QUrl(QStringLiteral("file:")), QUrl(QStringLiteral("data:,x.m3u8"))});
    form.WMDropFiles({});
    EXPECT_EQ(form.List().Count(), before);
}

// A NUL ends a name for the system: an entry holding one must fail, not be handed on cut short
// to a playlist that exists.
TEST_F(HostileNamesTest, EntryWithANulFailsInsteadOfReadingAnotherFile) {
    testsupport::HlsFixture stream(2);
    ASSERT_TRUE(stream.Ok()) << stream.Error().toStdString();
    TAppForm form;
    form.Edit1->setText(FDir.path());
    form.WMDropFiles({QUrl::fromLocalFile(stream.Playlist() + QChar(0) + QStringLiteral(".m3u8"))});
    ASSERT_EQ(form.List().Count(), 1);
    form.Button1->click();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !form.Queue().RunPending(); }, 30000));
    EXPECT_EQ(form.List().Status(0), QStringLiteral("Error"));
    EXPECT_FALSE(QFile::exists(QDir(FDir.path()).filePath(QStringLiteral("output.mp4"))));
    ASSERT_EQ(FShell.messages.size(), 1u); // the runner's own report of the failed start
    EXPECT_EQ(FShell.messages[0].icon, platform::TMsgIcon::Error);
}

// Many names in one drop, every one of them a playlist and half of them repeated.
TEST_F(HostileNamesTest, TwentyThousandNamesInOneDrop) {
    QList<QUrl> urls;
    for (int i = 0; i < 20000; ++i)
        urls << QUrl::fromLocalFile(InDir(QStringLiteral("%1.m3u8").arg(i % 10000)));
    TAppForm form;
    form.show();
    QElapsedTimer clock;
    clock.start();
    form.WMDropFiles(urls);
    testsupport::PumpEvents(50);
    std::cout << "[          ] 20 000 dropped names: " << clock.elapsed() << " ms\n";
    ASSERT_EQ(form.List().Count(), 10000);
    EXPECT_EQ(form.List().Caption(9999), InDir(QStringLiteral("9999.m3u8")));
}

// The add dialog takes the clipboard's text when, trimmed, it begins with "http"; "Add" then
// makes an entry of every line that is not blank, as it stands.
TEST_F(HostileNamesTest, ClipboardTexts) {
    const QString sample = QString::fromLatin1(SampleAddress);
    QString manyLines;
    for (int i = 0; i < 2000; ++i)
        manyLines += QStringLiteral("http://127.0.0.1:9/%1.m3u8\n").arg(i);
    struct Case {
        const char* name;
        QString clipboard;
        QString shown;        // the editor's text in the new dialog
        QStringList captions; // the entries "Add" makes
    };
    const QString hugeLine = QStringLiteral("http://x/") + QString(1 << 20, QLatin1Char('a'));
    const QString controls = QStringLiteral("http://a\x01\x02\x7f/b\x1b.m3u8");
    const QString surrogates =
        QStringLiteral("http://x/") + Surrogate(0xDC00) + Surrogate(0xD800) + QStringLiteral("y");
    const Case cases[] = {
        {"a megabyte on one line", hugeLine, hugeLine, {hugeLine}},
        {"control characters inside", controls, controls, {controls}},
        {"NULs around and inside",
         QChar(0) + QStringLiteral("http://a") + QChar(0) + QStringLiteral("b") + QChar(0),
         QStringLiteral("http://a") + QChar(0) + QStringLiteral("b"),
         {QStringLiteral("http://a") + QChar(0) + QStringLiteral("b")}},
        {"unpaired surrogates", surrogates, surrogates, {surrogates}},
        {"unpaired surrogate first",
         Surrogate(0xD800) + QStringLiteral("http://x"),
         sample,
         {sample}},
        {"2000 lines", manyLines, manyLines.trimmed(), manyLines.trimmed().split('\n')},
        {"line and paragraph separators",
         QStringLiteral("http://a\u2028http://b\u2029 http://c"),
         QStringLiteral("http://a\nhttp://b\n http://c"),
         {QStringLiteral("http://a"), QStringLiteral("http://b"), QStringLiteral(" http://c")}},
        {"only blanks and controls", QStringLiteral(" \t\r\n\x01 "), sample, {sample}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TAppForm form;
        QGuiApplication::clipboard()->setText(c.clipboard);
        QElapsedTimer clock;
        clock.start();
        form.ToolButton3->click();
        auto* dialog = form.findChild<TFormAddM3U8*>();
        ASSERT_NE(dialog, nullptr);
        QPointer<TFormAddM3U8> alive(dialog);
        testsupport::PumpEvents(20);
        EXPECT_EQ(dialog->Memo1->toPlainText(), c.shown);
        dialog->Button1->click();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_TRUE(alive.isNull()) << "the dialog stayed open";
        std::cout << "[          ] " << c.name << ": " << clock.elapsed() << " ms\n";
        QStringList captions;
        for (int i = 0; i < form.List().Count(); ++i)
            captions << form.List().Caption(i);
        EXPECT_EQ(captions, c.captions);
    }
}

} // namespace
