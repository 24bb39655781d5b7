#include "platform/cmdline.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <random>

using platform::FindProgram;
using platform::QuoteArgument;
using platform::SplitCommandLine;

namespace {

struct SplitCase {
    const char* line;
    QStringList expected;
};

TEST(SplitCommandLine, WindowsRules) {
    const SplitCase cases[] = {
        {"", {}},
        {" \t ", {}},
        {"prog", {"prog"}},
        {"  prog  a\t\tb  ", {"prog", "a", "b"}},
        // The program name: quotes only around the whole of it, backslashes always literal.
        {R"("C:\Program Files\x.exe" -i)", {R"(C:\Program Files\x.exe)", "-i"}},
        {R"("C:\dir\" next)", {R"(C:\dir\)", "next"}},
        {R"(C:\dir\ a)", {R"(C:\dir\)", "a"}},
        {R"("a b"c d)", {"a b", "c", "d"}},
        {R"(pro"g x" y)", {R"(pro"g)", "x y"}},
        {R"("open program)", {"open program"}},
        {R"(""   x)", {"", "x"}},
        // Further arguments.
        {R"(p a\\b)", {"p", R"(a\\b)"}},
        {R"(p a\\"b c")", {"p", R"(a\b c)"}},
        {R"(p a\\\"b)", {"p", R"(a\"b)"}},
        {R"(p \")", {"p", R"(")"}},
        {R"(p "a\\")", {"p", R"(a\)"}},
        {R"(p "ab\"c" "\\" d)", {"p", R"(ab"c)", R"(\)", "d"}},
        {R"(p a\\\b)", {"p", R"(a\\\b)"}},
        {R"(p a\)", {"p", R"(a\)"}},
        {R"(p "" "")", {"p", "", ""}},
        {R"(p "")", {"p", ""}},
        {R"(p ""a a"")", {"p", "a", "a"}},
        {R"(p a"b c"d e)", {"p", "ab cd", "e"}},
        // Inside a group "" is a literal quote and the group stays open.
        {R"(p "a""b")", {"p", R"(a"b)"}},
        {R"(p "a"" b")", {"p", R"(a" b)"}},
        {R"(p """")", {"p", R"(")"}},
        {R"(p "open arg)", {"p", "open arg"}},
        {"p \"a\tb\" c\td", {"p", "a\tb", "c", "d"}},
        // Line breaks never separate arguments.
        {"p a\nb \"c\r\nd\"", {"p", "a\nb", "c\r\nd"}},
        {"p \"\xc3\xa9 \xe2\x82\xac\" \xe2\x82\xac",
         {"p", "\xc3\xa9 \xe2\x82\xac", "\xe2\x82\xac"}},
    };
    for (const SplitCase& c : cases)
        EXPECT_EQ(SplitCommandLine(QString::fromUtf8(c.line)), c.expected) << c.line;
}

TEST(QuoteArgument, LeavesPlainArgumentsAloneAndEscapesTheRest) {
    EXPECT_EQ(QuoteArgument("abc"), "abc");
    EXPECT_EQ(QuoteArgument(R"(C:\dir\)"), R"(C:\dir\)");
    EXPECT_EQ(QuoteArgument(""), R"("")");
    EXPECT_EQ(QuoteArgument(R"(a b\)"), R"("a b\\")");
    EXPECT_EQ(QuoteArgument(R"(a"b)"), R"("a\"b")");
    EXPECT_EQ(QuoteArgument(R"(a\"b)"), R"("a\\\"b")");
    EXPECT_EQ(QuoteArgument("a\nb"), "\"a\nb\"");
}

// For any a and b: prog -i <a> -x <b> splits back into exactly those five arguments.
void ExpectRoundTrip(const QString& a, const QString& b) {
    const QString line = "prog -i " + QuoteArgument(a) + " -x " + QuoteArgument(b);
    const QStringList expected{"prog", "-i", a, "-x", b};
    ASSERT_EQ(SplitCommandLine(line), expected) << line.toStdString();
}

TEST(QuoteArgument, RoundTripsNastyArguments) {
    const QStringList nasty{
        "",
        " ",
        "\t",
        "\"",
        "\"\"",
        "\\",
        "\\\\",
        "\\\"",
        "a\\",
        "a b\\",
        "a b\\\\",
        "\\\\server\\share\\",
        "\"\" \"",
        "a\"\"b",
        "-y",
        "line\nbreak",
        "cr\r\nlf",
        "\n",
        "é ü ß € 漢字 \xF0\x9F\x98\x80",
        QString(1, QChar(u'\0')),
        // A crafted address must stay one argument, however it tries to close its quotes.
        R"(http://x/a.m3u8" -y -f "/tmp/evil)",
        R"(http://x/a.m3u8\" -y -f \"/tmp/evil)",
        R"(http://x/a.m3u8\\" -y "\\)",
        R"(http://x/?q="a b"&r=c\)",
    };
    for (const QString& a : nasty) {
        for (const QString& b : nasty)
            ExpectRoundTrip(a, b);
    }
}

TEST(QuoteArgument, RoundTripsRandomArguments) {
    // Characters that matter to the rules, plus ordinary and non-ASCII ones. The emoji is a
    // surrogate pair and is always inserted whole.
    const QStringList alphabet{
        "a", "Z", " ", "\t", "\"", "\\", "\n", "\r", "é", "€", "\xF0\x9F\x98\x80", "-", "="};
    std::mt19937 random(20240601u);
    std::uniform_int_distribution<int> length(0, 16);
    std::uniform_int_distribution<int> pick(0, int(alphabet.size()) - 1);
    auto generate = [&] {
        QString s;
        for (int n = length(random); n > 0; --n)
            s += alphabet.at(pick(random));
        return s;
    };
    for (int i = 0; i < 20000; ++i) {
        const QString a = generate();
        const QString b = generate();
        ExpectRoundTrip(a, b);
    }
}

// A scratch program folder, current folder and PATH folder, restored afterwards.
class FindProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FCurrent.isValid() && FOnPath.isValid());
        FOldCurrent = QDir::currentPath();
        FOldPath = qgetenv("PATH");
        FHadPath = qEnvironmentVariableIsSet("PATH");
        ASSERT_TRUE(QDir::setCurrent(FCurrent.path()));
        qputenv("PATH", QFile::encodeName(FOnPath.path()) + ":" + FOldPath);
        FName = QStringLiteral("velmora-lookup-probe-%1").arg(QCoreApplication::applicationPid());
    }

    void TearDown() override {
        QFile::remove(InProgramFolder());
        QDir::setCurrent(FOldCurrent);
        if (FHadPath)
            qputenv("PATH", FOldPath);
        else
            qunsetenv("PATH");
    }

    QString InProgramFolder() const { return QCoreApplication::applicationDirPath() + "/" + FName; }

    static QString Make(const QString& path, bool executable = true) {
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\n");
        file.close();
        QFile::Permissions permissions = QFile::ReadOwner | QFile::WriteOwner;
        if (executable)
            permissions |= QFile::ExeOwner;
        file.setPermissions(permissions);
        return QFileInfo(path).absoluteFilePath();
    }

    QTemporaryDir FCurrent;
    QTemporaryDir FOnPath;
    QString FOldCurrent;
    QByteArray FOldPath;
    bool FHadPath = false;
    QString FName;
};

TEST_F(FindProgramTest, SearchOrderIsProgramFolderThenCurrentFolderThenPath) {
    const QString onPath = Make(FOnPath.filePath(FName));
    const QString inCurrent = Make(FCurrent.filePath(FName));
    const QString inProgramFolder = Make(InProgramFolder());

    EXPECT_EQ(FindProgram(FName), inProgramFolder);
    QFile::remove(inProgramFolder);
    EXPECT_EQ(FindProgram(FName), inCurrent);
    QFile::remove(inCurrent);
    EXPECT_EQ(FindProgram(FName), onPath);
    QFile::remove(onPath);
    EXPECT_EQ(FindProgram(FName), QString());
}

TEST_F(FindProgramTest, OnlyExecutableRegularFilesCount) {
    const QString onPath = Make(FOnPath.filePath(FName));
    Make(FCurrent.filePath(FName), false);
    EXPECT_EQ(FindProgram(FName), onPath);

    QFile::remove(FCurrent.filePath(FName));
    ASSERT_TRUE(QDir(FCurrent.path()).mkdir(FName));
    EXPECT_EQ(FindProgram(FName), onPath);
}

TEST_F(FindProgramTest, ExeSuffixFallsBackToTheBareName) {
    const QString bare = Make(FOnPath.filePath(FName));
    EXPECT_EQ(FindProgram(FName + ".exe"), bare);
    EXPECT_EQ(FindProgram(FName + ".EXE"), bare);
    // A program that really carries the suffix is preferred, wherever it is found.
    const QString withSuffix = Make(FCurrent.filePath(FName + ".exe"));
    EXPECT_EQ(FindProgram(FName + ".exe"), withSuffix);

    const QString sh = FindProgram("sh");
    ASSERT_FALSE(sh.isEmpty());
    EXPECT_EQ(FindProgram("sh.exe"), sh);
    EXPECT_EQ(FindProgram("velmora-no-such-program.exe"), QString());
}

TEST_F(FindProgramTest, NamesWithASlashAreUsedAsPaths) {
    const QString inCurrent = Make(FCurrent.filePath(FName));
    Make(FOnPath.filePath(FName));
    EXPECT_EQ(FindProgram("./" + FName), inCurrent);
    EXPECT_EQ(FindProgram(inCurrent), inCurrent);
    EXPECT_EQ(FindProgram("./" + FName + ".exe"), inCurrent);
    EXPECT_EQ(FindProgram(FOnPath.path() + "/missing"), QString());
    // An existing file that cannot be run is still returned, so that starting it reports why.
    const QString plain = Make(FCurrent.filePath("plain"), false);
    EXPECT_EQ(FindProgram("./plain"), plain);
}

TEST_F(FindProgramTest, UnknownOrEmptyNamesAreNotFound) {
    EXPECT_EQ(FindProgram(""), QString());
    EXPECT_EQ(FindProgram("velmora-no-such-program"), QString());
}

} // namespace
