// Start-up of the real main window with a settings.ini, a configuration folder and a desktop
// folder that work against it. The window must open every time, report a failed write through
// the default error report, and never change bytes of the file that are not its own key.
#include "app/main.h"
#include "platform/inifile.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "webservice/check.h"
#include "webservice/webconfig.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString ProgramFolderFile(const QString& name) {
    return QDir(QCoreApplication::applicationDirPath()).filePath(name);
}

QString IniPath() {
    return ProgramFolderFile(QStringLiteral("settings.ini"));
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray Garbage(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

// Whatever stands at path goes: file, link, FIFO or folder.
void RemoveAnything(const QString& path) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode))
        QDir(path).removeRecursively();
    else
        ::unlink(name.constData());
}

mode_t FileType(const QString& path) {
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

class HostileSettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FConfig.isValid());
        webconfig::SetHostForTests(QStringLiteral("127.0.0.1:9"));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(FConfig.path()));
        RemoveAnything(IniPath());
        RemoveAnything(ProgramFolderFile(QStringLiteral("chk.tmp")));
    }
    void TearDown() override {
        RemoveAnything(IniPath());
        RemoveAnything(ProgramFolderFile(QStringLiteral("chk.tmp")));
    }

    // The window opens and shows itself; returns the destination field's text.
    QString OpenWindow() {
        TAppForm form;
        form.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&form));
        EXPECT_TRUE(form.isVisible());
        return form.Edit1->text();
    }

    // The one message start-up reported: the default error report of a failed write.
    void ExpectWriteFailureReported(const QString& iniPath) {
        ASSERT_EQ(FShell.messages.size(), 1u);
        EXPECT_EQ(FShell.messages[0].icon, platform::TMsgIcon::Error);
        EXPECT_EQ(FShell.messages[0].caption, QStringLiteral("Velmora"));
        EXPECT_EQ(FShell.messages[0].text, QStringLiteral("Unable to write to %1.").arg(iniPath));
    }

    static QString Desktop() {
        return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    }

    QTemporaryDir FConfig;
    testsupport::ShellRecorder FShell;
};

// Random bytes, with and without the marks that make the file UTF-8 or UTF-16, and with an odd
// byte count: none is the key, so the desktop is shown, the key is added, and the bytes that
// were there before are still there in front of it.
TEST_F(HostileSettingsTest, RandomBytesKeepTheirBytesAndGainTheKey) {
    struct Case {
        const char* name;
        QByteArray prefix;
    };
    const Case cases[] = {{"no mark", ""},
                          {"UTF-8 mark", "\xEF\xBB\xBF"},
                          {"UTF-16 LE mark", "\xFF\xFE"},
                          {"UTF-16 BE mark", "\xFE\xFF"}};
    for (const Case& c : cases) {
        for (const qsizetype size : {qsizetype(64 << 10), qsizetype((64 << 10) + 1)}) {
            SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(size) + " bytes");
            FShell.messages.clear();
            RemoveAnything(IniPath());
            // No line of the garbage may look like a [Settings] header: the key must be new.
            QByteArray before = c.prefix + Garbage(size, quint32(size) * 31 + c.prefix.size());
            before.replace('[', '{');
            ASSERT_TRUE(WriteAll(IniPath(), before));

            EXPECT_EQ(OpenWindow(), Desktop());

            EXPECT_TRUE(FShell.messages.empty());
            const QByteArray after = ReadAll(IniPath());
            // Half a UTF-16 code unit at the end is no character and is dropped.
            const bool halfUnit = c.prefix.size() == 2 && size % 2 != 0;
            EXPECT_TRUE(after.startsWith(halfUnit ? before.chopped(1) : before))
                << "bytes of the old file were changed";
            EXPECT_EQ(platform::ReadProfileString(IniPath(), QStringLiteral("Settings"),
                                                  QStringLiteral("Destination"),
                                                  QStringLiteral("(missing)")),
                      Desktop())
                << "the stored destination does not read back";
            // The next write finds the key it wrote and changes only its line.
            platform::WriteProfileString(IniPath(), QStringLiteral("Settings"),
                                         QStringLiteral("Destination"), QStringLiteral("/srv"));
            EXPECT_EQ(ReadAll(IniPath()).size(),
                      after.size() - (Desktop().size() - 4) * (c.prefix.size() == 2 ? 2 : 1));
        }
    }
}

// A destination far longer than any path: it is read cut to 2047 characters (never half a
// character), that text is written back, and the other lines stay as they were.
TEST_F(HostileSettingsTest, HugeDestinationIsReadCutAndWrittenBackCut) {
    QString value(2046, QLatin1Char('d'));
    value += QStringLiteral("\U0001F600"); // a pair across the cut
    value += QString(100000 - value.size(), QLatin1Char('e'));
    const QByteArray before = "; kept\r\n[Settings]\r\nDestination=" + value.toUtf8() +
                              "\r\nOther=1\r\n[Next]\r\nA=b\r\n";
    ASSERT_TRUE(WriteAll(IniPath(), before));

    const QString shown = OpenWindow();

    EXPECT_EQ(shown, QString(2046, QLatin1Char('d')));
    EXPECT_TRUE(FShell.messages.empty());
    EXPECT_EQ(ReadAll(IniPath()), "; kept\r\n[Settings]\r\nDestination=" + shown.toUtf8() +
                                      "\r\nOther=1\r\n[Next]\r\nA=b\r\n");
}

// Characters that can't stand in a line of the file end the value where they stand, so that
// what is read can be written back: no error at start-up, nor on every keystroke after it.
TEST_F(HostileSettingsTest, ValueWithANulOrALoneCrEndsThere) {
    for (const QByteArray& hostile : {QByteArray("/srv\0/x", 7), QByteArray("/srv\r/x")}) {
        SCOPED_TRACE(hostile.toPercentEncoding().toStdString());
        FShell.messages.clear();
        ASSERT_TRUE(WriteAll(IniPath(), "[Settings]\r\nDestination=" + hostile + "\r\nA=b\r\n"));
        TAppForm form;
        EXPECT_EQ(form.Edit1->text(), QStringLiteral("/srv"));
        form.Edit1->setText(QStringLiteral("/srv/y"));
        EXPECT_TRUE(FShell.messages.empty());
        EXPECT_EQ(ReadAll(IniPath()), "[Settings]\r\nDestination=/srv/y\r\nA=b\r\n");
    }
}

// A 100 MB settings.ini is not loaded: the default is shown and the write is refused, leaving
// the file as it was.
TEST_F(HostileSettingsTest, HundredMegabyteFileIsLeftAlone) {
    {
        QFile file(IniPath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_GT(file.write("[Settings]\nDestination=/srv/videos\n"), 0);
        ASSERT_TRUE(file.resize(100 << 20)); // sparse: fast to make, as big to read
    }
    QElapsedTimer clock;
    clock.start();
    const QString shown = OpenWindow();
    std::cout << "[          ] start-up with a 100 MB settings.ini: " << clock.elapsed() << " ms\n";

    EXPECT_EQ(shown, Desktop());
    ExpectWriteFailureReported(IniPath());
    EXPECT_EQ(QFileInfo(IniPath()).size(), qint64(100 << 20));
    EXPECT_TRUE(ReadAll(IniPath()).startsWith("[Settings]\nDestination=/srv/videos\n"));
}

// Things in place of settings.ini that can't be read as a file. Tests run as root, which no
// permission stops; these stop everyone. Each is reported as a failed write and stays.
TEST_F(HostileSettingsTest, UnreadableSettingsFileIsReportedAndKept) {
    struct Case {
        const char* name;
        std::function<bool()> make;
        mode_t type;
    };
    const QByteArray ini = QFile::encodeName(IniPath());
    const Case cases[] = {
        {"FIFO", [&] { return ::mkfifo(ini.constData(), 0600) == 0; }, S_IFIFO},
        {"folder", [&] { return QDir().mkdir(IniPath()); }, S_IFDIR},
        {"link to itself", [&] { return ::symlink(ini.constData(), ini.constData()) == 0; },
         S_IFLNK},
        {"link into a file",
         [&] { return ::symlink("/etc/hostname/settings.ini", ini.constData()) == 0; }, S_IFLNK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FShell.messages.clear();
        RemoveAnything(IniPath());
        ASSERT_TRUE(c.make());

        EXPECT_EQ(OpenWindow(), Desktop());

        ExpectWriteFailureReported(IniPath());
        EXPECT_EQ(FileType(IniPath()), c.type) << "what stood there was replaced";
    }
}

// The program folder fails the probe and the configuration folder's path names a regular file,
// so no settings folder can be made: the window opens and reports the write it could not do.
TEST_F(HostileSettingsTest, ConfigurationFolderThatIsAFile) {
    ASSERT_TRUE(WriteAll(ProgramFolderFile(QStringLiteral("chk.tmp")), ""));
    const QString config = FConfig.filePath(QStringLiteral("config-is-a-file"));
    ASSERT_TRUE(WriteAll(config, "not a folder"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config));

    EXPECT_EQ(OpenWindow(), Desktop());

    ExpectWriteFailureReported(config + QStringLiteral("/QUENTAR/Velmora/settings.ini"));
    EXPECT_EQ(ReadAll(config), "not a folder");
    EXPECT_FALSE(QFile::exists(IniPath()));
}

// A desktop folder that does not exist is still the default destination; nothing creates it
// and nothing is reported.
TEST_F(HostileSettingsTest, MissingDesktopFolder) {
    QTemporaryDir home;
    const QByteArray oldHome = qgetenv("HOME");
    qputenv("HOME", QFile::encodeName(home.path()));
    const QString desktop = Desktop();
    const QString shown = OpenWindow();
    qputenv("HOME", oldHome);

    EXPECT_TRUE(desktop.startsWith(home.path())) << desktop.toStdString();
    EXPECT_EQ(shown, desktop);
    EXPECT_FALSE(QFileInfo::exists(desktop));
    EXPECT_TRUE(FShell.messages.empty());
    EXPECT_TRUE(ReadAll(IniPath()).contains("Destination=" + desktop.toUtf8()));
}

// The update store's file is a FIFO: the check takes the service's answer all the same, and
// the menu item's failed write is reported instead of escaping its handler.
TEST_F(HostileSettingsTest, UpdateStoreThatIsAFifo) {
    testsupport::HttpServer server;
    server.SetReply(webconfig::CheckScriptPath,
                    {.body = "<version>1.3</version>\r\n<url>https://dl.example/v</url>\r\n"
                             "<notes/>\r\n<result>1</result>\r\n"});
    webconfig::SetHostForTests(server.HostAndPort());
    ResetUpdateCheckForTests();
    const QString store = TUpdateStore::FileName();
    ASSERT_TRUE(store.startsWith(FConfig.path())) << store.toStdString();
    ASSERT_TRUE(QDir().mkpath(QFileInfo(store).path()));
    ASSERT_EQ(::mkfifo(QFile::encodeName(store).constData(), 0600), 0);

    TAppForm form;
    form.show();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !form.TimerChecker->isActive(); }, 30000))
        << "the update check did not finish";
    ASSERT_TRUE(form.UpdateNotifications1->isEnabled());
    EXPECT_TRUE(FShell.messages.empty());

    EXPECT_NO_THROW(form.UpdateNotifications1->trigger());
    ASSERT_EQ(FShell.messages.size(), 1u);
    EXPECT_EQ(FShell.messages[0].icon, platform::TMsgIcon::Error);
    EXPECT_EQ(FShell.messages[0].caption, QStringLiteral("Velmora"));
    EXPECT_TRUE(FShell.messages[0].text.contains(store)) << FShell.messages[0].text.toStdString();
    EXPECT_EQ(FileType(store), mode_t(S_IFIFO));
    ResetUpdateCheckForTests();
}

} // namespace
