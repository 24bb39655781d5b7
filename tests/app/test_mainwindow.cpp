#include "app/identity.h"
#include "app/main.h"
#include "download/downloadlist.h"
#include "download/downloadlistview.h"
#include "support/hlsfixture.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "webservice/webconfig.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <gtest/gtest.h>

namespace {

QString ProgramFolderFile(const QString& name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Each test starts as a first start: no settings file beside the program, a fresh per-user
// configuration folder, and the shell facilities recorded instead of used.
class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FConfig.isValid());
        // The window starts the update check after a second; it must never leave this machine.
        webconfig::SetHostForTests(QStringLiteral("127.0.0.1:9"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FConfig.path()));
        QFile::remove(ProgramFolderFile(QStringLiteral("settings.ini")));
        QFile::remove(ProgramFolderFile(QStringLiteral("chk.tmp")));
    }
    void TearDown() override {
        QFile::remove(ProgramFolderFile(QStringLiteral("settings.ini")));
        QFile::remove(ProgramFolderFile(QStringLiteral("chk.tmp")));
    }

    QTemporaryDir FConfig;
    testsupport::ShellRecorder FShell;
};

TEST_F(MainWindowTest, IdentityLayoutAndMenus) {
    TAppForm form;
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    EXPECT_TRUE(FShell.messages.empty()) << "start-up reported an error";
    EXPECT_EQ(form.windowTitle(), QStringLiteral("QUENTAR - Velmora"));
    EXPECT_EQ(CaptionText, QStringLiteral("QUENTAR - Velmora"));
    EXPECT_EQ(VersionText, QStringLiteral("1.3"));

    const struct {
        QToolButton* button;
        const char* caption;
        const char* hint;
    } buttons[] = {{form.ToolButton3, "Add M3U8", "Add Files to the list"},
                   {form.Button1, "Download", ""},
                   {form.ToolButton1, "Feedback", ""},
                   {form.ToolButton7, "About", "Show Aboutbox"}};
    for (const auto& b : buttons) {
        EXPECT_EQ(b.button->text(), QString::fromUtf8(b.caption));
        EXPECT_EQ(b.button->toolTip(), QString::fromUtf8(b.hint));
        EXPECT_EQ(b.button->size(), QSize(139, 70));
        EXPECT_EQ(b.button->iconSize(), QSize(64, 64));
        EXPECT_EQ(b.button->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
    }

    EXPECT_EQ(form.Help2->shortcut(), QKeySequence(Qt::Key_F1));
    EXPECT_TRUE(form.UpdateNotifications1->isVisible());
    EXPECT_FALSE(form.UpdateNotifications1->isEnabled());
    EXPECT_TRUE(form.UpdateNotifications1->isChecked());
    EXPECT_FALSE(form.UpdateNotificationsBar->isVisible());
    EXPECT_TRUE(form.UpdateNotificationsBar->isSeparator());
    QStringList menus;
    for (QAction* menu : form.menuBar()->actions())
        menus << menu->text();
    EXPECT_EQ(menus, QStringList({QStringLiteral("File"), QStringLiteral("Help")}));

    EXPECT_EQ(form.ListView1->model()->headerData(0, Qt::Horizontal).toString(),
              QStringLiteral("M3U8"));
    EXPECT_EQ(form.ListView1->model()->headerData(1, Qt::Horizontal).toString(),
              QStringLiteral("Status"));
    EXPECT_FALSE(form.Memo1->isVisibleTo(&form));
    EXPECT_TRUE(form.Memo1->isReadOnly());
    EXPECT_EQ(form.ProgressBar1->maximum(), 100); // normal style, not the marquee
    EXPECT_EQ(form.SpeedButton1->toolTip(), QStringLiteral("Change Destination Folder"));
    EXPECT_TRUE(form.TimerChecker->isActive());
    EXPECT_EQ(form.TimerChecker->interval(), 1000);
    // The client area below the menu bar: toolbar, central part and status bar.
    EXPECT_EQ(form.centralWidget()->width(), 627);
    EXPECT_EQ(form.ToolBar1->height() + form.centralWidget()->height() + form.statusBar()->height(),
              452);
}

TEST_F(MainWindowTest, FirstStartStoresTheDesktopBesideAWritableProgram) {
    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    {
        TAppForm form;
        EXPECT_EQ(form.Edit1->text(), desktop);
    }
    const QByteArray ini = ReadAll(ProgramFolderFile(QStringLiteral("settings.ini")));
    EXPECT_TRUE(ini.contains("[Settings]")) << ini.constData();
    EXPECT_TRUE(ini.contains("Destination=" + desktop.toUtf8())) << ini.constData();
    EXPECT_FALSE(QFile::exists(ProgramFolderFile(QStringLiteral("chk.tmp"))));
    EXPECT_FALSE(QFile::exists(FConfig.filePath(QStringLiteral("QUENTAR"))));
}

TEST_F(MainWindowTest, ProgramFolderThatFailsTheProbeSendsSettingsToTheConfigFolder) {
    // Tests run as root, which can write anywhere; a stray probe file fails the probe all the
    // same.
    QFile stray(ProgramFolderFile(QStringLiteral("chk.tmp")));
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.close();
    {
        TAppForm form;
        form.Edit1->setText(QStringLiteral("/srv/videos"));
    }
    EXPECT_FALSE(QFile::exists(ProgramFolderFile(QStringLiteral("settings.ini"))));
    const QString ini = FConfig.filePath(QStringLiteral("QUENTAR/Velmora/settings.ini"));
    EXPECT_TRUE(ReadAll(ini).contains("Destination=/srv/videos")) << ini.toStdString();
}

TEST_F(MainWindowTest, DestinationPresentButEmptyStaysEmpty) {
    QFile ini(ProgramFolderFile(QStringLiteral("settings.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[Settings]\r\nDestination=\r\n");
    ini.close();
    TAppForm form;
    EXPECT_EQ(form.Edit1->text(), QString());
    EXPECT_TRUE(ReadAll(ini.fileName()).contains("Destination=\r\n"));
}

TEST_F(MainWindowTest, DroppedPlaylistsBecomeEntriesOnce) {
    QTemporaryDir dir;
    const QDir d(dir.path());
    for (const char* name : {"one.M3U8", "two.m3u8", "three.m3u"}) {
        QFile file(d.filePath(QLatin1String(name)));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }
    ASSERT_TRUE(d.mkdir(QStringLiteral("folder.m3u8")));

    TAppForm form;
    const auto drop = [&form](const QStringList& names) {
        QList<QUrl> urls;
        for (const QString& name : names)
            urls << QUrl::fromLocalFile(name);
        form.WMDropFiles(urls);
    };
    drop({d.filePath(QStringLiteral("one.M3U8")), d.filePath(QStringLiteral("two.m3u8")),
          d.filePath(QStringLiteral("three.m3u")), d.filePath(QStringLiteral("folder.m3u8"))});
    drop({d.filePath(QStringLiteral("two.m3u8"))});

    ASSERT_EQ(form.List().Count(), 2);
    EXPECT_EQ(form.List().Caption(0), d.filePath(QStringLiteral("one.M3U8")));
    EXPECT_EQ(form.List().Caption(1), d.filePath(QStringLiteral("two.m3u8")));
}

TEST_F(MainWindowTest, OnlineHelpOpensTheProductsHelpPage) {
    TAppForm form;
    form.Help2->trigger();
    EXPECT_EQ(FShell.openedUrls,
              QStringList({QStringLiteral("http://%1/help/velmora/").arg(webconfig::Host())}));
    // A product name of two words gives both words in lower case joined by "-".
    EXPECT_EQ(webconfig::HelpPageUrl(QStringLiteral("Velmora Pro")),
              QStringLiteral("http://%1/help/velmora-pro/").arg(webconfig::Host()));
}

// The whole road of a download on the real window: the button, the marquee, the log pane, the
// statuses, the files and the beep.
TEST_F(MainWindowTest, DownloadRunsTheListIntoTheDestination) {
    testsupport::HlsFixture stream(2);
    ASSERT_TRUE(stream.Ok()) << stream.Error().toStdString();
    testsupport::HttpServer server;
    server.ServeFolder(stream.Folder());
    QTemporaryDir destination;

    TAppForm form;
    form.Edit1->setText(destination.path());
    form.Ekle(server.Url(QStringLiteral("http://"), QStringLiteral("/index.m3u8")));
    form.Ekle(stream.Playlist());
    form.Button1->click();

    EXPECT_EQ(form.Button1->text(), QStringLiteral("STOP"));
    EXPECT_EQ(form.ProgressBar1->maximum(), 0); // the marquee
    EXPECT_TRUE(form.Memo1->isVisibleTo(&form));
    EXPECT_EQ(form.List().Status(0), QStringLiteral("Downloading..."));

    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return form.Button1->text() == QStringLiteral("Download"); }, 60000));
    EXPECT_EQ(form.List().Status(0), QStringLiteral("Complete"));
    EXPECT_EQ(form.List().Status(1), QStringLiteral("Complete"));
    EXPECT_EQ(form.ProgressBar1->maximum(), 100);
    EXPECT_EQ(FShell.beeps, 1);
    EXPECT_FALSE(form.Memo1->toPlainText().isEmpty());
    const QDir out(destination.path());
    for (const char* name : {"output.mp4", "output (2).mp4"}) {
        const testsupport::MediaInfo info = testsupport::Probe(out.filePath(QLatin1String(name)));
        EXPECT_TRUE(info.ok) << name << ": " << info.error.toStdString();
        EXPECT_EQ(info.codecs, QStringList({QStringLiteral("h264"), QStringLiteral("aac")}));
    }
}

// Closing the window while the converter runs ends the converter: nothing keeps writing.
TEST_F(MainWindowTest, ClosingTheWindowEndsTheConverter) {
    testsupport::HlsFixture stream(4);
    ASSERT_TRUE(stream.Ok()) << stream.Error().toStdString();
    testsupport::HttpServer server;
    server.ServeFolder(stream.Folder(), 800); // slow enough to be caught mid-run
    QTemporaryDir destination;
    const QString output = QDir(destination.path()).filePath(QStringLiteral("output.mp4"));

    auto form = std::make_unique<TAppForm>();
    form->Edit1->setText(destination.path());
    form->Ekle(server.Url(QStringLiteral("http://"), QStringLiteral("/index.m3u8")));
    form->Button1->click();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.RequestCount() >= 2; }, 20000));
    form.reset();

    // The runner has waited for its child: there is none left, and the file no longer grows.
    const QString children =
        QStringLiteral("/proc/%1/task/%1/children").arg(QCoreApplication::applicationPid());
    QFile list(children);
    ASSERT_TRUE(list.open(QIODevice::ReadOnly));
    EXPECT_EQ(list.readAll().trimmed(), QByteArray());
    const qint64 size = QFileInfo(output).size();
    testsupport::PumpEvents(1500);
    EXPECT_EQ(QFileInfo(output).size(), size);
}

} // namespace
