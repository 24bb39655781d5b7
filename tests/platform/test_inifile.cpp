#include "platform/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class IniFile : public ::testing::Test {
protected:
    QString Path(const char* name = "settings.ini") const {
        return FDir.filePath(QLatin1String(name));
    }
    void Put(const QByteArray& bytes, const QString& path) const {
        QFile::remove(path);
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }
    QByteArray Get(const QString& path) const {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    QStringList Entries() const {
        return QDir(FDir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    }

    QTemporaryDir FDir;
};

QByteArray Utf16LE(const QString& s) {
    QByteArray out("\xFF\xFE");
    for (QChar c : s) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

} // namespace

TEST_F(IniFile, ReadsTheKeysValueOrTheDefault) {
    const QString surrogateAtCut = QString(2046, QLatin1Char('a')) + QStringLiteral("\U0001F600");
    struct TCase {
        const char* Name;
        QByteArray File;
        const char* Section;
        const char* Key;
        QString Expected;
    };
    const TCase cases[] = {
        {"names match regardless of case", "[Settings]\nDestination=/x\n", "settings",
         "DESTINATION", "/x"},
        {"blanks around names and value", "[ Settings ]\n\t Destination =  /x y \t\n", "Settings",
         "Destination", "/x y"},
        {"present but empty", "[Settings]\nDestination=\n", "Settings", "Destination", ""},
        {"missing key", "[Settings]\nOther=1\n", "Settings", "Destination", "D"},
        {"missing section", "[Other]\nDestination=1\n", "Settings", "Destination", "D"},
        {"key before any section", "Destination=1\n[Settings]\n", "Settings", "Destination", "D"},
        {"comment is no key", "[Settings]\n;Destination=/c\n", "Settings", "Destination", "D"},
        {"first of two keys", "[S]\nk=1\nk=2\n", "S", "k", "1"},
        {"enclosing quotes removed", "[S]\nk=\"  /q  \"\n", "S", "k", "  /q  "},
        {"equals sign in value", "[S]\nk=a=b\n", "S", "k", "a=b"},
        {"CR LF endings", "[S]\r\nk=v\r\n", "S", "k", "v"},
        {"no final line ending", "[S]\nk=v", "S", "k", "v"},
        {"a CR ending the file is no text", "[S]\nk=v\r", "S", "k", "v"},
        {"UTF-8 with BOM", "\xEF\xBB\xBF[S]\nk=caf\xC3\xA9\n", "S", "k", "caf\u00e9"},
        {"a Latin-1 line", "[S]\nk=caf\xE9\n", "S", "k", "caf\u00e9"},
        {"U+FEFF opening a line belongs to the key", "[S]\n\xEF\xBB\xBFk=1\nk=2\n", "S", "k", "2"},
        {"UTF-16 with BOM", Utf16LE(QStringLiteral("[S]\r\nk=\u20ac1\r\n")), "S", "k", "\u20ac1"},
        {"cut at 2047", "[S]\nk=" + QByteArray(3000, 'a') + "\n", "S", "k",
         QString(2047, QLatin1Char('a'))},
        {"cut never splits a character", "[S]\nk=" + surrogateAtCut.toUtf8() + "\n", "S", "k",
         QString(2046, QLatin1Char('a'))},
        {"binary garbage", QByteArray("\x00\xFF[S\x00]\nk\x01=\xFE\n", 12), "S", "k", "D"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Put(c.File, Path());
        EXPECT_EQ(platform::ReadProfileString(Path(), QLatin1String(c.Section),
                                              QLatin1String(c.Key), QStringLiteral("D")),
                  c.Expected);
    }
}

TEST_F(IniFile, UnreadableFilesGiveTheDefaultWithoutHanging) {
    ASSERT_EQ(::mkfifo(QFile::encodeName(Path("fifo.ini")).constData(), 0600), 0);
    ASSERT_TRUE(QDir(FDir.path()).mkdir(QStringLiteral("folder.ini")));
    {
        QFile huge(Path("huge.ini"));
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        huge.write("[S]\nk=v\n");
        ASSERT_TRUE(huge.resize(qint64(64) << 20)); // sparse: cheap to make, too big to load
    }
    for (const char* name : {"missing.ini", "fifo.ini", "folder.ini", "huge.ini"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(platform::ReadProfileString(Path(name), QStringLiteral("S"), QStringLiteral("k"),
                                              QStringLiteral("D")),
                  QStringLiteral("D"));
    }
    const QString longDefault(3000, QLatin1Char('d'));
    EXPECT_EQ(platform::ReadProfileString(Path("missing.ini"), QStringLiteral("S"),
                                          QStringLiteral("k"), longDefault)
                  .size(),
              2047);
}

TEST_F(IniFile, WriteChangesOnlyTheKeysLine) {
    struct TCase {
        const char* Name;
        std::optional<QByteArray> Before; // none: no file yet
        QByteArray After;
    };
    const TCase cases[] = {
        {"creates the file", std::nullopt, "[Settings]\nDestination=/d\n"},
        {"fills an empty file", QByteArray(), "[Settings]\nDestination=/d\n"},
        {"appends the section in the file's line endings", "[Other]\r\na=1\r\n",
         "[Other]\r\na=1\r\n[Settings]\r\nDestination=/d\r\n"},
        {"ends an unfinished last line first", "[Other]\na=1",
         "[Other]\na=1\n[Settings]\nDestination=/d\n"},
        {"replaces the line, keeps all else byte for byte",
         "; top\n[other]\nx = 1\n\n[SETTINGS]\r\n  destination = old  "
         "\r\nUnknown=u\n;c\n[Z]\nq=\xE9\n",
         "; top\n[other]\nx = 1\n\n[SETTINGS]\r\nDestination=/d\r\nUnknown=u\n;c\n[Z]\nq=\xE9\n"},
        {"completes a CR LF cut short at the end", "[Other]\r\na=1\r",
         "[Other]\r\na=1\r\n[Settings]\r\nDestination=/d\r\n"},
        {"adds the key after the section's last key",
         "[Settings]\nOther=1\n\n; about Z\n[Z]\nq=1\n",
         "[Settings]\nOther=1\nDestination=/d\n\n; about Z\n[Z]\nq=1\n"},
        {"adds the key under a bare header", "[Settings]\n[Z]\n",
         "[Settings]\nDestination=/d\n[Z]\n"},
        {"adds to a last section without final line ending", "[Settings]\nOther=1",
         "[Settings]\nOther=1\nDestination=/d"},
        {"only the first of two keys", "[Settings]\nDestination=1\nDestination=2\n",
         "[Settings]\nDestination=/d\nDestination=2\n"},
        {"keeps a UTF-8 BOM", "\xEF\xBB\xBF[Settings]\nDestination=x\n",
         "\xEF\xBB\xBF[Settings]\nDestination=/d\n"},
        {"keeps UTF-16", Utf16LE(QStringLiteral("[A]\r\nb=\u20ac\r\n")),
         Utf16LE(QStringLiteral("[A]\r\nb=\u20ac\r\n[Settings]\r\nDestination=/d\r\n"))},
        {"drops the odd last byte of UTF-16 rather than write after it",
         Utf16LE(QStringLiteral("[A]\r\nb=1")) + "\x0D",
         Utf16LE(QStringLiteral("[A]\r\nb=1\r\n[Settings]\r\nDestination=/d\r\n"))},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QFile::remove(Path());
        if (c.Before)
            Put(*c.Before, Path());
        platform::WriteProfileString(Path(), QStringLiteral("Settings"),
                                     QStringLiteral("Destination"), QStringLiteral("/d"));
        EXPECT_EQ(Get(Path()), c.After);
        EXPECT_EQ(Entries(), QStringList{QStringLiteral("settings.ini")}); // no temporary left
    }
}

TEST_F(IniFile, ValuesReadBackExactlyAsWritten) {
    const QString values[] = {
        QString(),
        QStringLiteral("/home/u/V\u00eddeos \u65e5\u672c"),
        QStringLiteral("  outer blanks  "),
        QStringLiteral("\"quoted\""),
        QStringLiteral("'single'"),
        QStringLiteral("a=b;c#d[e]"),
        QStringLiteral("\"half"),
        QStringLiteral("C:\\Users\\x\\"),
    };
    for (const QString& value : values) {
        SCOPED_TRACE(value.toStdString());
        platform::WriteProfileString(Path(), QStringLiteral("S"), QStringLiteral("k"), value);
        platform::WriteProfileString(Path(), QStringLiteral("S"), QStringLiteral("other"),
                                     QStringLiteral("kept"));
        EXPECT_EQ(platform::ReadProfileString(Path(), QStringLiteral("S"), QStringLiteral("k"),
                                              QStringLiteral("D")),
                  value);
        EXPECT_EQ(platform::ReadProfileString(Path(), QStringLiteral("S"), QStringLiteral("other"),
                                              QStringLiteral("D")),
                  QStringLiteral("kept"));
    }
}

TEST_F(IniFile, WriteKeepsPermissionsAndFollowsLinks) {
    Put("[S]\nk=1\n", Path("real.ini"));
    ASSERT_TRUE(QFile::setPermissions(Path("real.ini"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    ASSERT_TRUE(QFile::link(Path("real.ini"), Path()));
    platform::WriteProfileString(Path(), QStringLiteral("S"), QStringLiteral("k"),
                                 QStringLiteral("2"));
    EXPECT_TRUE(QFileInfo(Path()).isSymLink());
    EXPECT_EQ(Get(Path("real.ini")), QByteArray("[S]\nk=2\n"));
    EXPECT_EQ(QFileInfo(Path("real.ini")).permissions() &
                  QFile::Permissions(0x7077) /* not the User bits */,
              QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    EXPECT_EQ(Entries().size(), 2);
}

TEST_F(IniFile, FailedWritesRaiseAndLeaveTheFileAlone) {
    Put("[S]\nk=1\n", Path());
    Put("not a folder", Path("plain"));
    struct TCase {
        const char* Name;
        QString File;
        const char* Section;
        const char* Key;
        QString Value;
    };
    const TCase cases[] = {
        {"folder is a file", Path("plain") + QStringLiteral("/settings.ini"), "S", "k", "v"},
        {"folder is missing", Path("none") + QStringLiteral("/settings.ini"), "S", "k", "v"},
        {"line feed in value", Path(), "S", "k", QStringLiteral("a\n[X]\ny=1")},
        {"carriage return in value", Path(), "S", "k", QStringLiteral("a\rb")},
        {"NUL in value", Path(), "S", "k", QString(QChar(0))},
        {"line break in key", Path(), "S", "k\nz", "v"},
        {"equals sign in key", Path(), "S", "k=z", "v"},
        {"bracket in section", Path(), "S]\n[T", "k", "v"},
        {"empty key", Path(), "S", "", "v"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        try {
            platform::WriteProfileString(c.File, QLatin1String(c.Section), QLatin1String(c.Key),
                                         c.Value);
            ADD_FAILURE() << "no error raised";
        } catch (const EIniFileException& e) {
            EXPECT_EQ(e.Message(),
                      QStringLiteral("Unable to write to ") + QFileInfo(c.File).absoluteFilePath());
            EXPECT_STREQ(e.ClassName(), "EIniFileException");
        }
        EXPECT_EQ(Get(Path()), QByteArray("[S]\nk=1\n"));
    }
    EXPECT_EQ(Entries().size(), 2);
}
