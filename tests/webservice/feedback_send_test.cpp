#include "app/identity.h"
#include "app/translate.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "webservice/feedback.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::HttpServer;
using Fields = QList<QPair<QString, QString>>;

const QString FailureText =
    QStringLiteral("Something went wrong. Your feedback could not be delivered.\r\r"
                   "Please try again later.");

class FeedbackSend : public ::testing::Test {
protected:
    void SetUp() override {
        ProductName = QStringLiteral("Velmora");
        CaptionText = QStringLiteral("QUENTAR - Velmora");
        VersionText = QStringLiteral("1.3");
        FPreviousHost = webconfig::Host();
        SetPostFormCaFileForTests(HttpServer::CaCertificateFile());
    }

    void TearDown() override {
        if (form)
            form->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        SetPostFormCaFileForTests(QString());
        SetTranslationTableForTests(QString(), QStringList());
        webconfig::SetHostForTests(FPreviousHost);
    }

    // Opens a window that posts to server (the window frees itself when it closes).
    void Open(const HttpServer& target) { Open(target.HostAndPort()); }
    void Open(const QString& host) {
        webconfig::SetHostForTests(host);
        form = new TFeedbackForm;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    }

    void Answer(const QByteArray& body, int status = 200) {
        HttpServer::Reply reply;
        reply.status = status;
        reply.body = body;
        server.SetReply(webconfig::FeedbackScriptPath, reply);
    }

    template <class T> T* Child(const char* name) {
        T* child = form->findChild<T*>(QLatin1String(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    void Click(const char* panel) { QTest::mouseClick(Child<QWidget>(panel), Qt::LeftButton); }
    QPlainTextEdit* Memo() { return Child<QPlainTextEdit>("Memo1"); }
    QLineEdit* Email() { return Child<QLineEdit>("Edit1"); }
    void PressSend() { Child<QPushButton>("BitBtn1")->click(); }
    bool Chosen(const char* panel) { return Child<feedback::TChoicePanel>(panel)->Chosen(); }

    // The window is gone once the deletions it asked for have run.
    bool Closed() {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return form.isNull();
    }

    static Fields Expected(const QString& feedbackText, const QString& email = QString()) {
        Fields fields{{"cmd", "feedback"},
                      {"appname", "QUENTAR - Velmora"},
                      {"version", "1.3"},
                      {"feedback", feedbackText}};
        if (!email.isEmpty())
            fields.append({QStringLiteral("email"), email});
        return fields;
    }

    void ExpectOneMessage(platform::TMsgIcon icon, const QString& caption, const QString& text) {
        ASSERT_EQ(shell.messages.size(), 1u);
        EXPECT_EQ(shell.messages[0].icon, icon);
        EXPECT_EQ(shell.messages[0].caption, caption);
        EXPECT_EQ(shell.messages[0].text, text);
    }
    void ExpectDelivered() {
        ExpectOneMessage(platform::TMsgIcon::Information, QStringLiteral("Success"),
                         QStringLiteral("Your feedback is received.\r\rThank you!"));
        EXPECT_TRUE(Closed());
    }

    HttpServer server;
    testsupport::ShellRecorder shell;
    QPointer<TFeedbackForm> form;

private:
    QString FPreviousHost;
};

TEST_F(FeedbackSend, LikeWithEmptyMemoSendsTheLabelAndOneCarriageReturn) {
    Answer("OK");
    Open(server);
    Click("Panel4");
    Email()->setText(QStringLiteral("   ")); // blank counts as no e-mail
    PressSend();

    const std::vector<HttpServer::Request> requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_TRUE(requests[0].secure);
    EXPECT_EQ(requests[0].method, "POST");
    EXPECT_EQ(requests[0].path, "/php/feedback.php");
    EXPECT_EQ(requests[0].fields, Expected(QStringLiteral("I like it!\r")));
    ExpectDelivered();
}

TEST_F(FeedbackSend, DislikeAfterLikeSendsOnlyTheDislikeLabel) {
    Answer("OK");
    Open(server);
    Click("Panel4");
    Click("Panel5");
    Click("Panel5"); // choosing it again keeps it chosen
    EXPECT_TRUE(Chosen("Panel5"));
    PressSend();
    ASSERT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(server.Requests()[0].fields, Expected(QStringLiteral("I dislike it!\r")));
    ExpectDelivered();
}

TEST_F(FeedbackSend, TranslationSendsTheEnglishLabelWithTheShownTextAndTranslatesEachPiece) {
    SetTranslationTableForTests(QStringLiteral("de"),
                                {QStringLiteral("{I like it!}Gef\u00e4llt mir!"),
                                 QStringLiteral("{Success}Erfolg"),
                                 QStringLiteral("{Your feedback is received.}Angekommen."),
                                 QStringLiteral("{Thank you!}Danke!")});
    Answer("OK");
    Open(server);
    Click("Image1");
    PressSend();
    ASSERT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(server.Requests()[0].fields,
              Expected(QStringLiteral("I like it! (Gef\u00e4llt mir!)\r")));
    ExpectOneMessage(platform::TMsgIcon::Information, QStringLiteral("Erfolg"),
                     QStringLiteral("Angekommen.\r\rDanke!"));
}

TEST_F(FeedbackSend, MemoIsTrimmedWithCrLfInsideAndTheEmailComesLast) {
    Answer("OK");
    Open(server);
    QTest::keyClicks(Memo(), QStringLiteral("  "));
    QTest::keyClick(Memo(), Qt::Key_Return);
    QTest::keyClicks(Memo(), QStringLiteral(" first line"));
    QTest::keyClick(Memo(), Qt::Key_Return);
    QTest::keyClicks(Memo(), QStringLiteral("second & last=1 %"));
    Memo()->insertPlainText(QStringLiteral(" \u00fc  ")); // QTest types ASCII only
    QTest::keyClick(Memo(), Qt::Key_Return);
    QTest::keyClick(Memo(), Qt::Key_Return);
    Email()->setText(QStringLiteral("  first.last+tag@example.com \t"));
    PressSend();
    ASSERT_EQ(server.RequestCount(), 1);
    EXPECT_EQ(server.Requests()[0].fields,
              Expected(QStringLiteral("first line\r\nsecond & last=1 % \u00fc"),
                       QStringLiteral("first.last+tag@example.com")));
    ExpectDelivered();
}

struct AnswerCase {
    const char* body;
    bool delivered;
};

void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << ::testing::PrintToString(std::string(c.body));
}

class FeedbackAnswers : public FeedbackSend, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(FeedbackAnswers, OnlyOkIsSuccessAndAFailureKeepsEverything) {
    Answer(GetParam().body);
    Open(server);
    Click("Panel5");
    Memo()->setPlainText(QStringLiteral("Text"));
    Email()->setText(QStringLiteral("me@example.org"));
    PressSend();
    // An answer over https is final: no second attempt over http.
    ASSERT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(server.Requests()[0].secure);
    if (GetParam().delivered) {
        ExpectDelivered();
        return;
    }
    ExpectOneMessage(platform::TMsgIcon::Error, QStringLiteral("Failure"), FailureText);
    ASSERT_FALSE(Closed());
    EXPECT_TRUE(Chosen("Panel5"));
    EXPECT_FALSE(Chosen("Panel4"));
    EXPECT_EQ(Memo()->toPlainText(), QStringLiteral("Text"));
    EXPECT_EQ(Email()->text(), QStringLiteral("me@example.org"));

    // Send can be pressed again, and the same feedback goes out.
    shell.messages.clear();
    Answer("OK");
    PressSend();
    ASSERT_EQ(server.RequestCount(), 2);
    EXPECT_EQ(server.Requests()[1].fields, server.Requests()[0].fields);
    ExpectDelivered();
}

INSTANTIATE_TEST_SUITE_P(Bodies, FeedbackAnswers,
                         ::testing::Values(AnswerCase{"OK", true}, AnswerCase{"OK\r\n", true},
                                           AnswerCase{"\n OK \n", true}, AnswerCase{"ok", false},
                                           AnswerCase{"OK.", false}, AnswerCase{"", false},
                                           AnswerCase{"<html>OK</html>", false}));

TEST_F(FeedbackSend, HttpsErrorPageIsFailureWithoutHttpAttempt) {
    Answer("Internal Server Error", 500);
    Open(server);
    Click("Panel4");
    PressSend();
    ASSERT_EQ(server.RequestCount(), 1);
    EXPECT_TRUE(server.Requests()[0].secure);
    ExpectOneMessage(platform::TMsgIcon::Error, QStringLiteral("Failure"), FailureText);
    EXPECT_FALSE(Closed());
}

TEST_F(FeedbackSend, HttpsRefusedThenHttpOkIsSuccess) {
    HttpServer plainOnly(HttpServer::Tls::Refuse);
    HttpServer::Reply ok;
    ok.body = "OK\r\n";
    plainOnly.SetReply(webconfig::FeedbackScriptPath, ok);
    Open(plainOnly);
    Click("Panel4");
    PressSend();
    const std::vector<HttpServer::Request> requests = plainOnly.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_FALSE(requests[0].secure);
    EXPECT_EQ(requests[0].fields, Expected(QStringLiteral("I like it!\r")));
    ExpectDelivered();
}

TEST_F(FeedbackSend, NoServerAtAllIsFailure) {
    Open(QStringLiteral("127.0.0.1:%1").arg(HttpServer::UnusedPort()));
    Click("Panel4");
    PressSend();
    ExpectOneMessage(platform::TMsgIcon::Error, QStringLiteral("Failure"), FailureText);
    EXPECT_FALSE(Closed());
}

TEST_F(FeedbackSend, SilentServerTimesOutOverHttpsThenHttp) {
    HttpServer::Reply silence;
    silence.silent = true;
    server.SetReply(webconfig::FeedbackScriptPath, silence);
    Open(server);
    Click("Panel4");
    QElapsedTimer timer;
    timer.start();
    PressSend();
    const qint64 elapsed = timer.elapsed();
    const std::vector<HttpServer::Request> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[0].secure);
    EXPECT_FALSE(requests[1].secure);
    ExpectOneMessage(platform::TMsgIcon::Error, QStringLiteral("Failure"), FailureText);
    // Each attempt waits out its 3 000 ms answer time-out, and no more than a few times that.
    EXPECT_GE(elapsed, 2 * 3000 - 200);
    EXPECT_LT(elapsed, 4 * 3000 + 5000);
}

TEST_F(FeedbackSend, InvalidEmailShowsItsMessageAndSendsNothing) {
    Answer("OK");
    Open(server);
    Click("Panel4");
    Email()->setText(QStringLiteral("me@example"));
    PressSend();
    EXPECT_EQ(server.RequestCount(), 0);
    ExpectOneMessage(platform::TMsgIcon::Error, QStringLiteral("Failure"),
                     QStringLiteral("Invalid e-mail address!"));
    ASSERT_FALSE(Closed());
    EXPECT_EQ(Email()->text(), QStringLiteral("me@example"));
    EXPECT_TRUE(Chosen("Panel4"));
}

TEST_F(FeedbackSend, NothingToSendBeepsAndSendsNothing) {
    Answer("OK");
    Open(server);
    Memo()->setPlainText(QStringLiteral("  \n\t\n "));
    Email()->setText(QStringLiteral("me@example.org"));
    PressSend();
    EXPECT_EQ(shell.beeps, 1);
    EXPECT_TRUE(shell.messages.empty());
    EXPECT_EQ(server.RequestCount(), 0);
    EXPECT_FALSE(Closed());
}

} // namespace
