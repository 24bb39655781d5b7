#include "webservice/postform.h"

#include "support/httpserver.h"

#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <future>
#include <vector>

using testsupport::HttpServer;

namespace {

constexpr char Script[] = "/php/check2.php";

class PostFormTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetPostFormCaFileForTests(HttpServer::CaCertificateFile());
        server.SetReply(Script, {.body = "answer"});
    }
    void TearDown() override { SetPostFormCaFileForTests(QString()); }

    HttpServer server;
};

QList<QPair<QString, QString>> Split(const QStringList& lines) {
    QList<QPair<QString, QString>> pairs;
    for (const QString& line : lines)
        pairs.append({line.section(QLatin1Char('='), 0, 0), line.section(QLatin1Char('='), 1)});
    return pairs;
}

TEST_F(PostFormTest, EncodesEachFieldAndTheServerDecodesItBack) {
    struct Case {
        QStringList fields;
        QByteArray body;
    };
    const std::vector<Case> cases = {
        {{}, ""},
        {{"email="}, "email="},
        {{"a=hello world"}, "a=hello+world"},
        {{"a=x&y", "b=2"}, "a=x%26y&b=2"},
        {{"a=b=c"}, "a=b%3Dc"},
        {{"a=1+1"}, "a=1%2B1"},
        {{"a=100%"}, "a=100%25"},
        {{"feedback=one\r\ntwo\nthree"}, "feedback=one%0D%0Atwo%0Athree"},
        {{QStringLiteral("n=Ünïcödé ğ€")}, "n=%C3%9Cn%C3%AFc%C3%B6d%C3%A9+%C4%9F%E2%82%AC"},
        {{"a=*-._~!'()/"}, "a=*-._%7E%21%27%28%29%2F"},
        {{"my name=x"}, "my+name=x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields.join(QLatin1Char('|')).toStdString());
        EXPECT_EQ(EncodeFormBody(c.fields), c.body);

        server.ClearRequests();
        EXPECT_EQ(PostForm(server.Url("http://", Script), c.fields, 5000), "answer");
        ASSERT_EQ(server.RequestCount(), 1);
        const HttpServer::Request request = server.Requests()[0];
        EXPECT_EQ(request.body, c.body);
        EXPECT_EQ(request.fields, Split(c.fields));
    }
}

TEST_F(PostFormTest, SecurePathSendsConnectionCloseAndCharset) {
    EXPECT_EQ(PostForm(server.Url("https://", Script), {"cmd=check"}, 5000), "answer");
    ASSERT_EQ(server.RequestCount(), 1);
    const HttpServer::Request request = server.Requests()[0];
    EXPECT_TRUE(request.secure);
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.Header("Connection"), "close");
    EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded; charset=utf-8");
    EXPECT_EQ(request.Field("cmd"), "check");
}

TEST_F(PostFormTest, AnythingButLowerCaseHttpsTakesThePlainPath) {
    for (const char* scheme : {"http://", "HTTPS://", "Https://"}) {
        SCOPED_TRACE(scheme);
        server.ClearRequests();
        EXPECT_EQ(PostForm(server.Url(QLatin1String(scheme), Script), {"a=1"}, 5000), "answer");
        ASSERT_EQ(server.RequestCount(), 1);
        const HttpServer::Request request = server.Requests()[0];
        EXPECT_FALSE(request.secure);
        EXPECT_FALSE(request.HasHeader("Connection") &&
                     request.Header("Connection").compare("close", Qt::CaseInsensitive) == 0);
        EXPECT_EQ(request.Header("Content-Type"), "application/x-www-form-urlencoded");
    }
}

TEST_F(PostFormTest, OtherSchemesAreRefused) {
    for (const QString& url : {QStringLiteral("file:///etc/hostname"), server.Url("ftp://", Script),
                               QStringLiteral("no address")}) {
        SCOPED_TRACE(url.toStdString());
        EXPECT_THROW(PostForm(url, {"a=1"}, 2000), EPostForm);
    }
    EXPECT_EQ(server.RequestCount(), 0);
}

TEST_F(PostFormTest, UntrustedCertificateFails) {
    SetPostFormCaFileForTests(QString());
    try {
        PostForm(server.Url("https://", Script), {"a=1"}, 5000);
        FAIL() << "the self-signed certificate was accepted without being trusted";
    } catch (const EPostForm& e) {
        EXPECT_FALSE(e.Message().isEmpty());
    }
    EXPECT_EQ(server.RequestCount(), 0);
}

TEST_F(PostFormTest, ServerRefusingTlsFailsOnTheSecurePathOnly) {
    HttpServer plainOnly(HttpServer::Tls::Refuse);
    plainOnly.SetReply(Script, {.body = "plain"});
    EXPECT_THROW(PostForm(plainOnly.Url("https://", Script), {"a=1"}, 3000), EPostForm);
    EXPECT_EQ(PostForm(plainOnly.Url("http://", Script), {"a=1"}, 3000), "plain");
}

TEST_F(PostFormTest, RefusedConnectionRaisesAtOnce) {
    const QString url = QStringLiteral("http://127.0.0.1:%1%2")
                            .arg(HttpServer::UnusedPort())
                            .arg(QLatin1String(Script));
    QElapsedTimer clock;
    clock.start();
    try {
        PostForm(url, {"a=1"}, 3000);
        FAIL() << "no error";
    } catch (const EPostForm& e) {
        EXPECT_FALSE(e.Message().isEmpty());
    }
    EXPECT_LT(clock.elapsed(), 3000);
}

TEST_F(PostFormTest, SilentServerRaisesAfterTheResponseTimeout) {
    HttpServer::Reply silence;
    silence.silent = true;
    server.SetReply(Script, silence);
    for (const char* scheme : {"http://", "https://"}) {
        SCOPED_TRACE(scheme);
        QElapsedTimer clock;
        clock.start();
        EXPECT_THROW(PostForm(server.Url(QLatin1String(scheme), Script), {"a=1"}, 800), EPostForm);
        EXPECT_GE(clock.elapsed(), 750);
        EXPECT_LT(clock.elapsed(), 2 * 800 + 1000);
    }
}

TEST_F(PostFormTest, DribblingServerCannotStretchAnAttemptPastTwiceTheTimeout) {
    HttpServer::Reply drip;
    drip.body = QByteArray(40, 'x');
    drip.trickleMs = 100; // four seconds for the whole answer, a byte well within each time-out
    server.SetReply(Script, drip);
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(PostForm(server.Url("http://", Script), {"a=1"}, 600), EPostForm);
    EXPECT_LT(clock.elapsed(), 2 * 600 + 1000);
}

TEST_F(PostFormTest, SlowButTimelyAnswerArrives) {
    server.SetReply(Script, {.body = "late", .delayMs = 400});
    EXPECT_EQ(PostForm(server.Url("http://", Script), {"a=1"}, 2000), "late");
}

TEST_F(PostFormTest, DecodesWithTheNamedCharsetAndReturnsErrorPagesToo) {
    struct Case {
        QByteArray contentType;
        QByteArray body;
        int status;
        QString expected;
    };
    const std::vector<Case> cases = {
        {"text/plain; charset=ISO-8859-1", "caf\xE9", 200, QStringLiteral("café")},
        {"text/plain; charset=\"utf-8\"", "caf\xC3\xA9", 200, QStringLiteral("café")},
        {"text/plain", "caf\xC3\xA9", 200, QStringLiteral("café")},
        {"", "caf\xC3\xA9", 200, QStringLiteral("café")},
        {"text/html; charset=UTF-8", "<h1>Not here</h1>", 404, QStringLiteral("<h1>Not here</h1>")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.contentType.toStdString());
        server.SetReply(Script, {.status = c.status, .contentType = c.contentType, .body = c.body});
        EXPECT_EQ(PostForm(server.Url("http://", Script), {}, 3000), c.expected);
        EXPECT_EQ(PostForm(server.Url("https://", Script), {}, 3000), c.expected);
    }
}

TEST_F(PostFormTest, ConcurrentPostsFromSeveralThreads) {
    std::vector<std::future<QString>> posts;
    for (int i = 0; i < 4; ++i) {
        posts.push_back(std::async(std::launch::async, [this, i] {
            return PostForm(server.Url(i % 2 ? "http://" : "https://", Script),
                            {QStringLiteral("n=%1").arg(i)}, 5000);
        }));
    }
    for (auto& post : posts)
        EXPECT_EQ(post.get(), "answer");
    EXPECT_EQ(server.RequestCount(), 4);
}

} // namespace
