#include "app/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Points the per-user config folder at a temporary one for the life of the object.
class TConfigHome {
public:
    TConfigHome()
        : FOld(qgetenv("XDG_CONFIG_HOME")), FHad(qEnvironmentVariableIsSet("XDG_CONFIG_HOME")) {
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(Path()));
    }
    ~TConfigHome() {
        if (FHad)
            qputenv("XDG_CONFIG_HOME", FOld);
        else
            qunsetenv("XDG_CONFIG_HOME");
    }
    QString Path() const { return FDir.filePath(QStringLiteral("config")); }

private:
    QTemporaryDir FDir;
    QByteArray FOld;
    bool FHad;
};

QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
}

} // namespace

TEST(Settings, WritabilityProbeLeavesNothingBehind) {
    QTemporaryDir dir;
    EXPECT_TRUE(IsFolderWritable(dir.path()));
    EXPECT_TRUE(IsFolderWritable(dir.path() + QLatin1Char('/')));
    EXPECT_TRUE(Entries(dir.path()).isEmpty());

    EXPECT_FALSE(IsFolderWritable(dir.filePath(QStringLiteral("missing"))));
    QFile plain(dir.filePath(QStringLiteral("plain")));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();
    EXPECT_FALSE(IsFolderWritable(plain.fileName())); // a file, not a folder

    // A stray probe makes even a writable folder count as not writable, and it stays put.
    QFile stray(dir.filePath(QStringLiteral("chk.tmp")));
    ASSERT_TRUE(stray.open(QIODevice::WriteOnly));
    stray.write("stray");
    stray.close();
    EXPECT_FALSE(IsFolderWritable(dir.path()));
    EXPECT_EQ(stray.size(), 5);
}

TEST(Settings, WritableProgramFolderHoldsTheSettings) {
    TConfigHome config;
    QTemporaryDir program;
    EXPECT_EQ(
        ChooseSettingsFolder(program.path(), QStringLiteral("QUENTAR"), QStringLiteral("Velmora")),
        program.path() + QLatin1Char('/'));
    EXPECT_TRUE(Entries(program.path()).isEmpty()); // no chk.tmp left behind
    EXPECT_FALSE(QFileInfo::exists(config.Path()));
}

TEST(Settings, OtherwiseTheConfigFolderOfCompanyAndProduct) {
    TConfigHome config;
    QTemporaryDir scratch;
    const QString stray = scratch.filePath(QStringLiteral("stray"));
    ASSERT_TRUE(QDir().mkpath(stray));
    QFile probe(stray + QStringLiteral("/chk.tmp"));
    ASSERT_TRUE(probe.open(QIODevice::WriteOnly));
    probe.close();

    // Tests run as root, who may write anywhere: a missing folder and one holding a stray
    // probe are the program folders that can't be written.
    for (const QString& program : {scratch.filePath(QStringLiteral("missing")), stray}) {
        SCOPED_TRACE(program.toStdString());
        const QString folder =
            ChooseSettingsFolder(program, QStringLiteral("QUENTAR"), QStringLiteral("Velmora"));
        EXPECT_EQ(folder, config.Path() + QStringLiteral("/QUENTAR/Velmora/"));
        EXPECT_TRUE(QFileInfo(folder).isDir()); // every missing level created
        EXPECT_TRUE(IsFolderWritable(folder));
    }
    EXPECT_EQ(Entries(stray), QStringList{QStringLiteral("chk.tmp")});
    EXPECT_EQ(QFileInfo(config.Path()).permissions() & QFile::Permissions(0x0077),
              QFile::Permissions());

    // Names from the version record stay one folder level each.
    EXPECT_EQ(ChooseSettingsFolder(stray, QStringLiteral("../A/B"), QStringLiteral("..")),
              config.Path() + QStringLiteral("/.._A_B/__/"));
}

TEST(Settings, WithoutAConfigFolderTheProgramFolderIsKept) {
    QTemporaryDir scratch;
    const QString program = scratch.filePath(QStringLiteral("missing"));
    // Not "/QUENTAR/Velmora/" at the root of the file system.
    EXPECT_EQ(ChooseSettingsFolder(program, QStringLiteral("QUENTAR"), QStringLiteral("Velmora"),
                                   QString()),
              program + QLatin1Char('/'));
    EXPECT_FALSE(QFileInfo::exists(program));
}

TEST(Settings, ShellFolders) {
    TConfigHome config;
    EXPECT_EQ(GetShellFolderPath(platform::CSIDL_APPDATA), config.Path());
    const QString home = QDir::homePath();
    for (const char* ignored : {"", "relative/config"}) {
        qputenv("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(GetShellFolderPath(platform::CSIDL_APPDATA), home + QStringLiteral("/.config"));
    }
    EXPECT_EQ(GetShellFolderPath(platform::CSIDL_DESKTOP),
              QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    EXPECT_TRUE(GetShellFolderPath(12345).isEmpty());
}

TEST(Settings, SettingsFileReadsDefaultsAndWritesThrough) {
    QTemporaryDir dir;
    TSettingsIni ini(dir.filePath(QStringLiteral("settings.ini")));
    EXPECT_EQ(ini.FileName(), dir.filePath(QStringLiteral("settings.ini")));
    EXPECT_EQ(ini.ReadString(QStringLiteral("Settings"), QStringLiteral("Destination"),
                             QStringLiteral("/desk")),
              QStringLiteral("/desk"));
    EXPECT_FALSE(QFileInfo::exists(ini.FileName())); // reading creates nothing

    ini.WriteString(QStringLiteral("Settings"), QStringLiteral("Destination"), QString());
    EXPECT_EQ(ini.ReadString(QStringLiteral("Settings"), QStringLiteral("Destination"),
                             QStringLiteral("/desk")),
              QString()); // present and empty is not missing

    TSettingsIni broken(dir.filePath(QStringLiteral("settings.ini/inner.ini")));
    try {
        broken.WriteString(QStringLiteral("Settings"), QStringLiteral("Destination"),
                           QStringLiteral("/x"));
        ADD_FAILURE() << "no error raised";
    } catch (const EIniFileException& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + broken.FileName());
    }
}
