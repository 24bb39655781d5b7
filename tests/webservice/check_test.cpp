#include "webservice/check.h"

#include "app/identity.h"
#include "support/httpserver.h"
#include "support/wait.h"
#include "userstore.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSysInfo>

#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <vector>

using testsupport::HttpServer;

namespace {

constexpr char Script[] = "/php/check2.php";

QByteArray Answer(const QByteArray& version, const QByteArray& url, const QByteArray& result,
                  const QByteArray& important = {}) {
    QByteArray body = "<version>" + version + "</version>\r\n<url>" + url +
                      "</url>\r\n<notes>x</notes>\r\n" + result;
    if (!important.isNull())
        body += "\r\n\r\n<important>" + important + "</important>\r\n";
    return body;
}

QByteArray Result(const char* value) {
    return QByteArray("<result>") + value + "</result>";
}

TEST(GetTagValueTest, TakesOnlyExactlyEnclosedValues) {
    struct Case {
        QString line, tag, expected;
    };
    const std::vector<Case> cases = {
        {"<version>1.4</version>", "version", "1.4"},
        {"<version>1.4</version>", "VERSION", "1.4"},
        {"<url> a b </url>", "url", " a b "},
        {"<result></result>", "result", ""},
        {"<result>1</result> ", "result", ""},
        {" <result>1</result>", "result", ""},
        {"<RESULT>1</RESULT>", "result", ""},
        {"<result>1</version>", "result", ""},
        {"<result>1", "result", ""},
        {"<a>", "a", ""},
        {"", "result", ""},
        {"<>x</>", "", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(GetTagValue(c.line, c.tag), c.expected) << c.line.toStdString();
}

TEST(SplitAnswerLinesTest, CutsAtEveryKindOfBreak) {
    EXPECT_EQ(SplitAnswerLines("a\r\nb\nc\rd"), QStringList({"a", "b", "c", "d"}));
    EXPECT_EQ(SplitAnswerLines("a\r\n"), QStringList({"a"}));
    EXPECT_EQ(SplitAnswerLines("a\n\n"), QStringList({"a", ""}));
    EXPECT_EQ(SplitAnswerLines("\r\n\r\nz"), QStringList({"", "", "z"}));
    EXPECT_EQ(SplitAnswerLines("\n\r"), QStringList({"", ""}));
    EXPECT_TRUE(SplitAnswerLines("").isEmpty());
}

// Vectors computed separately from the key schedule (a short Python script), not by this code.
TEST(ScrambleTest, MatchesIndependentVectorsAndRoundTrips) {
    struct Case {
        QString plain;
        quint16 seed;
        QString scrambled;
    };
    const std::vector<Case> cases = {
        {"", 0xD7, ""},
        {"A", 0xD7, "41"},
        {"A", 0x1234, "53"},
        {QStringLiteral("é"), 0xD7, "C37C"},
        {"https://www.quentar.com/download/velmora-setup.exe", 0xD7,
         "685A50DE3B06203875AB87985185AB88F6BFAEA4D75ED0F2119C2A4018325E55FFE5467F48558CEF0C0D1C15"
         "0386787F782F"},
        {QStringLiteral("Zürich/下载 ✓"), 0xD7, "5A71B6D0A78F2407511108087CF276FEAE6B"},
        // A leading U+FEFF is a character of the address like any other.
        {QStringLiteral(u"\uFEFFx"), 0xD7, "EF56E74F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plain.toStdString());
        EXPECT_EQ(ScrambleText(c.plain, c.seed), c.scrambled);
        EXPECT_EQ(UnscrambleText(c.scrambled, c.seed), c.plain);
        EXPECT_EQ(UnscrambleText(c.scrambled.toLower(), c.seed), c.plain);
    }
}

TEST(ScrambleTest, UnscrambleRejectsBadHexAndIgnoresAnOddLastCharacter) {
    EXPECT_EQ(UnscrambleText("C37C4", ScrambleSeed), QStringLiteral("é"));
    EXPECT_EQ(UnscrambleText("4", ScrambleSeed), "");
    EXPECT_EQ(UnscrambleText("C37G", ScrambleSeed), "");
    EXPECT_EQ(UnscrambleText("C3 7C", ScrambleSeed), "");
    EXPECT_EQ(UnscrambleText("0x41", ScrambleSeed), "");
    EXPECT_EQ(UnscrambleText(QStringLiteral("４１"), ScrambleSeed), "");
}

TEST(VersionDecisionTest, AnyDifferentTextWhoseDigitsConvert) {
    struct Case {
        QString latest, current;
        bool announced;
    };
    const std::vector<Case> cases = {
        {"1.3", "1.3", false},  {"1.2", "1.3", true},         {"1.4", "1.3", true},
        {"1.3.0", "1.3", true}, {"", "1.3", false},           {"1.4b", "1.3", false},
        {" 1.4", "1.3", false}, {"+1.4", "1.3", true},        {"-1.4", "1.3", true},
        {"1..4", "1.3", true},  {"2147483647", "1.3", true},  {"2147483648", "1.3", false},
        {"...", "1.3", false},  {"-2147483648", "1.3", true}, {"99999999999", "1.3", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsAnnouncedVersion(c.latest, c.current), c.announced) << c.latest.toStdString();

    int value = 0;
    EXPECT_TRUE(TryStrToInt32("-0", value));
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(TryStrToInt32("-", value));
    EXPECT_FALSE(TryStrToInt32("1 ", value));
    EXPECT_FALSE(TryStrToInt32("$1F", value));
}

class UpdateCheckTest : public webtest::ServiceTest {
protected:
    void Run() {
        RunUpdateCheck([this](const QString& caption, const QString& text) {
            std::lock_guard lock(shownMutex);
            shown.emplace_back(caption, text);
        });
    }

    std::mutex shownMutex;
    std::vector<std::pair<QString, QString>> shown;
};

TEST_F(UpdateCheckTest, AnswerTable) {
    const QString today = QLocale().toString(QDate::currentDate(), QLocale::ShortFormat);
    struct Case {
        const char* name;
        QByteArray body;
        std::optional<QString> preference; // stored "ShowUpdate"
        bool accepted;
        bool available;
        QString important; // expected message text, empty for none
    };
    const QByteArray url = "https://dl.example.com/velmora-1.4.exe";
    const std::vector<Case> cases = {
        {"same version", Answer("1.3", url, Result("1")), {}, true, false, ""},
        {"older version", Answer("1.2", url, Result("1")), {}, true, true, ""},
        {"newer, result 0", Answer("1.4", url, Result("0")), {}, true, true, ""},
        {"same digits written longer", Answer("1.3.0", url, Result("1")), {}, true, true, ""},
        {"empty version", Answer("", url, Result("1")), {}, true, false, ""},
        {"letters in the version", Answer("1.4b", url, Result("1")), {}, true, false, ""},
        {"result 2", Answer("1.4", url, Result("2")), {}, false, false, ""},
        {"blank after the tag", Answer("1.4", url, Result("1") + " "), {}, false, false, ""},
        {"tag in capitals", Answer("1.4", url, "<RESULT>1</RESULT>"), {}, false, false, ""},
        {"exactly four lines", Answer("1.4", url, Result("1")), {}, true, true, ""},
        {"three lines",
         "<version>1.4</version>\n<url>x</url>\n<result>1</result>",
         {},
         false,
         false,
         ""},
        {"error page", "<html><body>Internal error</body></html>", {}, false, false, ""},
        {"important message",
         Answer("1.3", url, Result("1"), "  Please update now  "),
         {},
         true,
         false,
         "  Please update now  "},
        {"blank important message", Answer("1.4", url, Result("1"), " \t "), {}, true, true, ""},
        {"preference 0", Answer("1.4", url, Result("1")), QStringLiteral("0"), true, false, ""},
        {"preference 2", Answer("1.4", url, Result("1")), QStringLiteral("2"), true, false, ""},
        {"preference 1", Answer("1.4", url, Result("1")), QStringLiteral("1"), true, true, ""},
        {"preference not a number", Answer("1.4", url, Result("1")), QStringLiteral("yes"), true,
         true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetUpdateCheckForTests();
        webtest::ClearStore();
        shown.clear();
        if (c.preference)
            webtest::SetStoredValue("ShowUpdate", *c.preference);
        server.SetReply(Script, {.body = c.body});

        Run();

        EXPECT_TRUE(CheckFinished.load());
        EXPECT_EQ(PreferenceOffered, c.accepted);
        EXPECT_EQ(UpdateAvailable, c.available);
        EXPECT_EQ(webtest::IsStored("CurrentVersion"), c.accepted);
        EXPECT_EQ(webtest::IsStored("CurrentURL"), c.accepted);
        EXPECT_EQ(webtest::IsStored("LastUpdateInform"), c.available);
        if (c.available) {
            EXPECT_EQ(webtest::StoredValue("LastUpdateInform"), today);
        }
        if (c.accepted) {
            const QString version = GetTagValue(SplitAnswerLines(c.body)[0], "version");
            EXPECT_EQ(LatestVersion, version);
            EXPECT_EQ(webtest::StoredValue("CurrentVersion"), version);
            EXPECT_EQ(DownloadURL, QString::fromUtf8(url));
            EXPECT_EQ(UnscrambleText(webtest::StoredValue("CurrentURL"), 0xD7), DownloadURL);
        }
        if (c.important.isEmpty()) {
            EXPECT_TRUE(shown.empty());
        } else {
            ASSERT_EQ(shown.size(), 1u);
            EXPECT_EQ(shown[0].first, "IMPORTANT");
            EXPECT_EQ(shown[0].second, c.important);
        }
    }
}

TEST_F(UpdateCheckTest, PostsTheIdentityInOrderOverHttpsFirst) {
    server.SetReply(Script, {.body = Answer("1.3", "", Result("1"))});
    Run();
    ASSERT_EQ(server.RequestCount(), 1);
    const HttpServer::Request request = server.Requests()[0];
    EXPECT_TRUE(request.secure);
    EXPECT_EQ(request.path, Script);
    QStringList names;
    for (const auto& field : request.fields)
        names << field.first;
    EXPECT_EQ(names, QStringList({"cmd", "appname", "version", "os", "local", "guid"}));
    EXPECT_EQ(request.Field("cmd"), "check");
    EXPECT_EQ(request.Field("appname"), "QUENTAR - Velmora");
    EXPECT_EQ(request.Field("version"), "1.3");
    EXPECT_TRUE(QRegularExpression(R"(^.+ \(Version \d+\.\d+, Build \d+, (64|32)-bit Edition\)$)")
                    .match(request.Field("os"))
                    .hasMatch())
        << request.Field("os").toStdString();
    EXPECT_TRUE(request.Field("os").startsWith(QSysInfo::prettyProductName()));
    EXPECT_TRUE(QRegularExpression(R"(^[a-z]{2,3}-[A-Z0-9]{2,3}$)")
                    .match(request.Field("local"))
                    .hasMatch())
        << request.Field("local").toStdString();
    QFile machineId(QStringLiteral("/etc/machine-id"));
    if (machineId.open(QIODevice::ReadOnly)) {
        EXPECT_EQ(request.Field("guid"), QString::fromLatin1(machineId.readAll().trimmed()));
    }
    EXPECT_EQ(request.Field("guid"), GetMachineGuid());
    // An empty download address in the answer replaces the one stored before.
    EXPECT_TRUE(DownloadURL.isEmpty());
}

TEST_F(UpdateCheckTest, FallsBackToPlainHttpWhenTheSecureAttemptFails) {
    HttpServer plainOnly(HttpServer::Tls::Refuse);
    plainOnly.SetReply(Script, {.body = Answer("1.4", "http://x.example/v", Result("1"))});
    webconfig::SetHostForTests(plainOnly.HostAndPort());
    Run();
    ASSERT_EQ(plainOnly.RequestCount(), 1);
    EXPECT_FALSE(plainOnly.Requests()[0].secure);
    EXPECT_TRUE(PreferenceOffered);
    EXPECT_TRUE(UpdateAvailable);
    EXPECT_EQ(LatestVersion, "1.4");
}

TEST_F(UpdateCheckTest, NoServiceLeavesEverythingButTheStoredAddress) {
    webtest::SetStoredValue("CurrentURL",
                            ScrambleText(QStringLiteral("https://dl.example/ü"), 0xD7));
    webtest::SetStoredValue("ShowUpdate", "0");
    webconfig::SetHostForTests(QStringLiteral("127.0.0.1:%1").arg(HttpServer::UnusedPort()));
    Run();
    EXPECT_TRUE(CheckFinished.load());
    EXPECT_FALSE(PreferenceOffered);
    EXPECT_FALSE(UpdateAvailable);
    EXPECT_EQ(ShowUpdate, 0);
    EXPECT_EQ(DownloadURL, QStringLiteral("https://dl.example/ü"));
    EXPECT_FALSE(webtest::IsStored("CurrentVersion"));
}

TEST_F(UpdateCheckTest, StoredAddressThatIsNotHexGivesNoAddress) {
    webtest::SetStoredValue("CurrentURL", "68ZZ");
    server.SetReply(Script, {.body = "offline"});
    Run();
    EXPECT_TRUE(DownloadURL.isEmpty());
    EXPECT_FALSE(PreferenceOffered);
}

TEST_F(UpdateCheckTest, FailedStoreWritesEndOnlyTheirOwnStep) {
    // A folder where the store's file belongs: every write fails, every read finds nothing.
    const QString file = webtest::Store().fileName();
    QFile::remove(file);
    ASSERT_TRUE(QDir().mkpath(file));
    server.SetReply(Script, {.body = Answer("1.4", "https://dl.example/v", Result("1"), "Hi")});
    Run();
    QDir(file).removeRecursively();

    EXPECT_TRUE(CheckFinished.load());
    EXPECT_EQ(LatestVersion, "1.4");
    EXPECT_EQ(DownloadURL, "https://dl.example/v");
    EXPECT_TRUE(PreferenceOffered);
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_FALSE(UpdateAvailable); // its "LastUpdateInform" could not be written
}

TEST_F(UpdateCheckTest, WorkerHandsOverThroughCheckFinished) {
    server.SetReply(Script,
                    {.body = Answer("1.4", "https://dl.example/v", Result("1"), "Read me")});
    TChecker::StartNew([this](const QString& caption, const QString& text) {
        std::lock_guard lock(shownMutex);
        shown.emplace_back(caption, text);
    });
    ASSERT_TRUE(
        testsupport::WaitUntil([] { return CheckFinished.load(std::memory_order_acquire); }));
    EXPECT_TRUE(PreferenceOffered);
    EXPECT_TRUE(UpdateAvailable);
    EXPECT_EQ(DownloadURL, "https://dl.example/v");
    {
        std::lock_guard lock(shownMutex);
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].second, "Read me");
    }
    // Let the worker dispose of itself before the next test resets the shared state.
    testsupport::PumpEvents(100);
}

} // namespace
