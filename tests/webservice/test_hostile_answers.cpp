// The web service and the update store treated as hostile: answers that are huge, binary,
// endless or cut off, and a store file that is a FIFO, garbage or huge. The update check and
// the feedback send must end within their time-outs, take nothing from such an answer, and
// leave the program able to go on.
#include "app/identity.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "userstore.h"
#include "webservice/check.h"
#include "webservice/feedback.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using testsupport::HttpServer;

constexpr char Script[] = "/php/check2.php";

QByteArray GoodAnswer(const QByteArray& version = "1.4") {
    return "<version>" + version +
           "</version>\r\n<url>https://dl.example/v</url>\r\n<notes/>\r\n<result>1</result>\r\n";
}

QByteArray Garbage(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(random.bounded(256));
    return bytes;
}

struct HostileReply {
    const char* name;
    HttpServer::Reply reply;
};

// What the service may send instead of its few lines.
std::vector<HostileReply> HostileReplies() {
    // A sound answer, followed by ten megabytes of more lines.
    QByteArray tenMegabytes = GoodAnswer();
    while (tenMegabytes.size() < (10 << 20))
        tenMegabytes += QByteArray(1023, 'A') + '\n';

    HttpServer::Reply huge;
    huge.body = tenMegabytes;
    HttpServer::Reply binary;
    binary.contentType = "application/octet-stream";
    binary.body = Garbage(256 << 10, 20240611);
    HttpServer::Reply binaryUtf8;
    binaryUtf8.body = Garbage(64 << 10, 7); // claims UTF-8 text
    HttpServer::Reply endless;
    endless.endless = true;
    endless.body = GoodAnswer();
    HttpServer::Reply cut;
    // A sound answer whose connection closes once the lines that count have been sent, short of
    // the length the head announced: a partial answer is no answer.
    cut.body = GoodAnswer() + "\r\n<important>" + QByteArray(4000, 'x') + "</important>\r\n";
    cut.cutAfter = 400 + GoodAnswer().size(); // the head is shorter than 400 bytes
    HttpServer::Reply cutInHead;
    cutInHead.body = GoodAnswer();
    cutInHead.cutAfter = 20;
    return {{"ten megabytes", huge},          {"binary garbage", binary},
            {"garbage as UTF-8", binaryUtf8}, {"never-ending body", endless},
            {"closed mid-answer", cut},       {"closed mid-head", cutInHead}};
}

class HostileService : public webtest::ServiceTest {
protected:
    // Runs the check on its own worker, as the main window does; false when it did not finish
    // within the longest its two attempts may take, or its worker did not end after it. The
    // worker posts its own disposal before it ends; the events pumped after that run it.
    static bool CheckOnWorker() {
        const int threads = ThreadCount();
        TChecker::StartNew(nullptr);
        const bool ended =
            testsupport::WaitUntil([] { return CheckFinished.load(std::memory_order_acquire); },
                                   4 * CheckTimeoutMs + 5000) &&
            testsupport::WaitUntil([&] { return ThreadCount() <= threads; }, 5000);
        testsupport::PumpEvents(50);
        return ended;
    }

    static int ThreadCount() {
        return int(QDir(QStringLiteral("/proc/self/task"))
                       .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                       .size());
    }
};

TEST_F(HostileService, FormPostTakesAnswersUpToItsLimitOnly) {
    for (const char* scheme : {"http://", "https://"}) {
        SCOPED_TRACE(scheme);
        const QString url = server.Url(QLatin1String(scheme), QStringLiteral("/answer"));
        server.SetReply("/answer", {.body = QByteArray(MaxPostFormAnswerBytes, 'a')});
        EXPECT_EQ(PostForm(url, {QStringLiteral("a=b")}, 3000).size(), MaxPostFormAnswerBytes);
        server.SetReply("/answer", {.body = QByteArray(MaxPostFormAnswerBytes + 1, 'a')});
        EXPECT_THROW(PostForm(url, {QStringLiteral("a=b")}, 3000), EPostForm);
        HttpServer::Reply endless;
        endless.endless = true;
        server.SetReply("/answer", endless);
        EXPECT_THROW(PostForm(url, {QStringLiteral("a=b")}, 3000), EPostForm);
    }
}

TEST_F(HostileService, UpdateCheckTakesNothingFromAHostileAnswer) {
    for (const HostileReply& c : HostileReplies()) {
        SCOPED_TRACE(c.name);
        ResetUpdateCheckForTests();
        webtest::ClearStore();
        server.ClearRequests();
        server.SetReply(Script, c.reply);

        ASSERT_TRUE(CheckOnWorker());
        EXPECT_FALSE(PreferenceOffered);
        EXPECT_FALSE(UpdateAvailable);
        EXPECT_TRUE(LatestVersion.isEmpty());
        EXPECT_FALSE(webtest::IsStored("CurrentVersion"));
        EXPECT_FALSE(webtest::IsStored("CurrentURL"));
        // The secure attempt failed or answered with garbage; the plain one may follow.
        ASSERT_GE(server.RequestCount(), 1);
        EXPECT_TRUE(server.Requests()[0].secure);
    }

    // Nothing of that has worn the program down: the next sound answer is taken.
    ResetUpdateCheckForTests();
    server.SetReply(Script, {.body = GoodAnswer()});
    ASSERT_TRUE(CheckOnWorker());
    EXPECT_TRUE(PreferenceOffered);
    EXPECT_TRUE(UpdateAvailable);
    EXPECT_EQ(LatestVersion, QStringLiteral("1.4"));
}

TEST_F(HostileService, FeedbackReportsAFailedDeliveryAndKeepsTheWindow) {
    testsupport::ShellRecorder shell;
    const QString failure =
        QStringLiteral("Something went wrong. Your feedback could not be delivered.\r\r"
                       "Please try again later.");
    for (const HostileReply& c : HostileReplies()) {
        SCOPED_TRACE(c.name);
        shell.messages.clear();
        server.SetReply(webconfig::FeedbackScriptPath, c.reply);
        QPointer<TFeedbackForm> form = new TFeedbackForm;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
        auto* memo = form->findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
        ASSERT_NE(memo, nullptr);
        memo->setPlainText(QStringLiteral("It works"));

        form->findChild<QPushButton*>(QStringLiteral("BitBtn1"))->click();

        ASSERT_EQ(shell.messages.size(), 1u);
        EXPECT_EQ(shell.messages[0].icon, platform::TMsgIcon::Error);
        EXPECT_EQ(shell.messages[0].caption, QStringLiteral("Failure"));
        EXPECT_EQ(shell.messages[0].text, failure);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ASSERT_FALSE(form.isNull()) << "the window closed after a failed delivery";
        EXPECT_EQ(memo->toPlainText(), QStringLiteral("It works"));
        form->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

// A store file the check cannot use must not hold it up, nor stop it from taking the answer.
TEST_F(HostileService, UpdateCheckGetsPastAHostileStore) {
    const QString file = webtest::Store().fileName();
    const QByteArray path = QFile::encodeName(file);
    ASSERT_TRUE(QDir().mkpath(QFileInfo(file).path()));
    struct Case {
        const char* name;
        std::function<bool()> make;
    };
    const std::vector<Case> cases = {
        {"FIFO", [&] { return ::mkfifo(path.constData(), 0600) == 0; }},
        {"random bytes",
         [&] {
             QFile f(file);
             return f.open(QIODevice::WriteOnly) && f.write(Garbage(1 << 20, 99)) == (1 << 20);
         }},
        {"100 MB",
         [&] {
             QFile f(file);
             if (!f.open(QIODevice::WriteOnly) || f.write("[Settings]\nShowUpdate=1\n") < 0)
                 return false;
             return f.resize(100 << 20); // sparse: NUL bytes to the end
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetUpdateCheckForTests();
        QFile::remove(file);
        ASSERT_TRUE(c.make());
        server.SetReply(Script, {.body = GoodAnswer()});

        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(CheckOnWorker());
        std::cout << "[          ] " << c.name << ": " << clock.elapsed() << " ms\n";
        EXPECT_TRUE(PreferenceOffered);
        EXPECT_EQ(LatestVersion, QStringLiteral("1.4"));
        struct stat st {};
        ASSERT_EQ(::lstat(path.constData(), &st), 0) << "the store file was removed";
        if (std::string(c.name) == "FIFO") {
            EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";
        }
    }
    QFile::remove(file);
}

} // namespace
