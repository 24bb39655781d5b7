#include "webservice/newversion.h"

#include "app/identity.h"
#include "support/httpserver.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "userstore.h"
#include "webservice/check.h"
#include "webservice/postform.h"
#include "webservice/webconfig.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include <gtest/gtest.h>

#include <optional>

using testsupport::HttpServer;
using testsupport::WaitUntil;

namespace {

constexpr char Script[] = "/php/check2.php";

QByteArray Answer(const QByteArray& version, const QByteArray& url,
                  const QByteArray& important = {}) {
    QByteArray body =
        "<version>" + version + "</version>\n<url>" + url + "</url>\n\n<result>1</result>\n";
    if (!important.isEmpty())
        body += "\n<important>" + important + "</important>\n";
    return body;
}

TNewVer* FindNotification() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* window = qobject_cast<TNewVer*>(widget))
            return window;
    }
    return nullptr;
}

QRect ExpectedPlace() {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    return QRect(screen.x() + screen.width() - 320 - 5, screen.y() + 5, 320, 68);
}

void SendMouse(QWidget* target, QEvent::Type type, Qt::MouseButton button, QPoint global) {
    const Qt::MouseButton changed = type == QEvent::MouseMove ? Qt::NoButton : button;
    const Qt::MouseButtons held =
        type == QEvent::MouseButtonRelease ? Qt::MouseButtons() : Qt::MouseButtons(button);
    QMouseEvent event(type, target->mapFromGlobal(QPointF(global)), QPointF(global), changed, held,
                      Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

class NotificationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { webtest::IsolateUserStore(); }

    void SetUp() override {
        ResetUpdateCheckForTests();
        ResetNotificationCountdownForTests();
        webtest::ClearStore();
        CaptionText = QStringLiteral("QUENTAR - Velmora");
        ProductName = QStringLiteral("Velmora");
        VersionText = QStringLiteral("1.3");
        SetPostFormCaFileForTests(HttpServer::CaCertificateFile());
        webconfig::SetHostForTests(server.HostAndPort());
        action.setCheckable(true);
        action.setChecked(true);
        action.setEnabled(false);
        QObject::connect(&action, &QAction::triggered,
                         [this] { UpdateNotifications1Click(action); });
        timer.start(1000);
    }

    void TearDown() override {
        for (QWidget* widget : QApplication::topLevelWidgets())
            widget->close();
        // Closed notifications delete themselves later; let that happen before the next test.
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        ResetUpdateCheckForTests();
        SetPostFormCaFileForTests(QString());
    }

    // Ticks the main window's timer by hand until the check has finished and been acted on.
    void RunCheck() {
        TimerCheckerTimer(timer, action);
        ASSERT_TRUE(WaitUntil([] { return CheckFinished.load(std::memory_order_acquire); }));
        TimerCheckerTimer(timer, action);
    }

    // A notification as the timer creates it, already on screen.
    TNewVer* ShownNotification(const QString& latest = QStringLiteral("1.4")) {
        LatestVersion = latest;
        auto* window = new TNewVer;
        window->TimerClose->stop(); // ticked by hand where a test needs it
        EXPECT_TRUE(WaitUntil([&] { return window->isVisible(); }, 2000));
        EXPECT_TRUE(WaitUntil([&] { return window->geometry() == ExpectedPlace(); }, 2000));
        return window;
    }

    HttpServer server;
    QTimer timer;
    QAction action{QStringLiteral("Update Notifications")};
};

TEST_F(NotificationTest, CheckOutcomeReachesMenuItemAndWindow) {
    testsupport::ShellRecorder shell;
    server.SetReply(
        Script, {.body = Answer("1.4", "https://dl.example/v.exe", "Mind this"), .delayMs = 300});

    TimerCheckerTimer(timer, action);
    EXPECT_TRUE(CheckStarted);
    TimerCheckerTimer(timer, action); // still running: nothing happens
    EXPECT_TRUE(timer.isActive());
    EXPECT_FALSE(action.isEnabled());

    ASSERT_TRUE(WaitUntil([] { return CheckFinished.load(std::memory_order_acquire); }));
    EXPECT_EQ(FindNotification(), nullptr); // only the timer brings it up
    TimerCheckerTimer(timer, action);
    EXPECT_FALSE(timer.isActive());
    EXPECT_TRUE(action.isEnabled());
    EXPECT_TRUE(action.isChecked());

    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_EQ(shell.messages[0].icon, platform::TMsgIcon::Warning);
    EXPECT_EQ(shell.messages[0].caption, "IMPORTANT");
    EXPECT_EQ(shell.messages[0].text, "Mind this");

    TNewVer* window = FindNotification();
    ASSERT_NE(window, nullptr);
    EXPECT_FALSE(window->isVisible()); // it shows itself through its start timer
    EXPECT_TRUE(WaitUntil([&] { return window->isVisible(); }, 2000));
    EXPECT_TRUE(WaitUntil([&] { return window->geometry() == ExpectedPlace(); }, 2000));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_TRUE(window->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
    EXPECT_EQ(window->Label1->text(), "UPDATE AVAILABLE");
    EXPECT_EQ(window->Label2->text(), "Click to download Velmora 1.4");
    EXPECT_FALSE(window->Button1->icon().isNull());
    EXPECT_EQ(window->TimerStart->interval(), 1);
    EXPECT_EQ(window->TimerClose->interval(), 1000);
    EXPECT_EQ(window->TimerLink->interval(), 100);
}

TEST_F(NotificationTest, StoredPreferenceDecidesCheckMarkAndWindow) {
    struct Case {
        const char* name;
        std::optional<QString> preference;
        bool online;
        bool enabled, checked, window;
    };
    const Case cases[] = {
        {"no preference", {}, true, true, true, true},
        {"preference 0", QStringLiteral("0"), true, true, false, false},
        {"preference 2", QStringLiteral("2"), true, true, true, false},
        {"offline", {}, false, false, true, false},
    };
    server.SetReply(Script, {.body = Answer("1.4", "https://dl.example/v.exe")});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ResetUpdateCheckForTests();
        webtest::ClearStore();
        if (c.preference)
            webtest::SetStoredValue("ShowUpdate", *c.preference);
        webconfig::SetHostForTests(
            c.online ? server.HostAndPort()
                     : QStringLiteral("127.0.0.1:%1").arg(HttpServer::UnusedPort()));
        action.setChecked(true);
        action.setEnabled(false);
        timer.start(1000);

        RunCheck();

        EXPECT_FALSE(timer.isActive());
        EXPECT_EQ(action.isEnabled(), c.enabled);
        EXPECT_EQ(action.isChecked(), c.checked);
        QPointer<TNewVer> window = FindNotification();
        EXPECT_EQ(!window.isNull(), c.window);
        if (window) {
            // Closed from the test's own frame, outside any event handler, it is deleted only
            // when deferred deletions are asked for.
            window->close();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_TRUE(window.isNull());
        }
    }
}

TEST_F(NotificationTest, MenuItemStoresTheMarkItShows) {
    webtest::SetStoredValue("ShowUpdate", "2");
    server.SetReply(Script, {.body = Answer("1.4", "")});
    RunCheck();
    ASSERT_TRUE(action.isEnabled());
    ASSERT_TRUE(action.isChecked());
    QPointer<TNewVer> window = FindNotification();
    EXPECT_TRUE(window.isNull());

    action.trigger();
    EXPECT_FALSE(action.isChecked());
    EXPECT_EQ(webtest::StoredValue("ShowUpdate"), "0");
    action.trigger();
    EXPECT_TRUE(action.isChecked());
    EXPECT_EQ(webtest::StoredValue("ShowUpdate"), "1");
    EXPECT_EQ(ShowUpdate, 2); // the value read by this run's check stays in force
}

TEST_F(NotificationTest, ClosesOnTheEleventhTickOfARunWideCountdown) {
    QPointer<TNewVer> first = ShownNotification();
    for (int tick = 1; tick <= 4; ++tick)
        first->TimerCloseTimer();
    first->Button1->click();
    ASSERT_TRUE(WaitUntil([&] { return first.isNull(); }, 2000));

    // The countdown is not reset for a later window: seven more ticks close it.
    QPointer<TNewVer> second = ShownNotification();
    for (int tick = 5; tick <= 10; ++tick) {
        second->TimerCloseTimer();
        testsupport::PumpEvents(5);
        ASSERT_FALSE(second.isNull()) << "closed on tick " << tick;
    }
    second->TimerCloseTimer();
    EXPECT_TRUE(WaitUntil([&] { return second.isNull(); }, 2000));
}

TEST_F(NotificationTest, DragsWithAnyButtonButTheRightAndNotFromTheLink) {
    TNewVer* window = ShownNotification();
    struct Case {
        const char* name;
        QWidget* handle;
        Qt::MouseButton button;
        bool moves;
    };
    const Case cases[] = {
        {"left on the panel", window->Panel1, Qt::LeftButton, true},
        {"middle on the icon", window->Image1, Qt::MiddleButton, true},
        {"left on the heading", window->Label1, Qt::LeftButton, true},
        {"left on the button strip", window->Panel3, Qt::LeftButton, true},
        {"right on the panel", window->Panel1, Qt::RightButton, false},
        {"left on the link", window->Label2, Qt::LeftButton, false},
        {"left beside the link", window->Panel2, Qt::LeftButton, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const QPoint start = window->pos();
        const QPoint grip = c.handle->mapToGlobal(QPoint(2, 2));
        SendMouse(c.handle, QEvent::MouseButtonPress, c.button, grip);
        SendMouse(c.handle, QEvent::MouseMove, c.button, grip + QPoint(-30, 20));
        SendMouse(c.handle, QEvent::MouseMove, c.button, grip + QPoint(-40, 25));
        SendMouse(c.handle, QEvent::MouseButtonRelease, c.button, grip + QPoint(-40, 25));
        EXPECT_EQ(window->pos(), c.moves ? start + QPoint(-40, 25) : start);
        EXPECT_EQ(window->size(), QSize(320, 68));
        // After the release, moves no longer drag.
        const QPoint after = window->pos();
        SendMouse(c.handle, QEvent::MouseMove, Qt::NoButton, grip + QPoint(50, 50));
        EXPECT_EQ(window->pos(), after);
    }
}

TEST(NotificationLinkAddressTest, OnlyWebAddressesFromTheAnswerAreOpened) {
    webconfig::SetHostForTests(QStringLiteral("www.quentar.com"));
    const QString home = QStringLiteral("http://www.quentar.com/");
    const std::pair<QString, QString> cases[] = {
        {"https://dl.example/velmora.exe", "https://dl.example/velmora.exe"},
        {"http://dl.example/a b", "http://dl.example/a b"},
        {"HTTPS://dl.example/x", "HTTPS://dl.example/x"},
        {"", home},
        {"file:///usr/bin/xterm", home},
        {"/usr/bin/xterm", home},
        {"xterm", home},
        {"javascript:alert(1)", home},
        {"ftp://dl.example/x", home},
        {"http:///etc/passwd", home},
        {"smb://server/share/setup.exe", home},
    };
    for (const auto& [address, opened] : cases)
        EXPECT_EQ(NotificationLinkAddress(address), opened) << address.toStdString();
}

TEST_F(NotificationTest, LinkOpensTheDownloadAddressOrTheHomePageThenCloses) {
    const std::pair<QString, QString> cases[] = {
        {"https://dl.example/velmora.exe", "https://dl.example/velmora.exe"},
        {"", webconfig::HomePageUrl()},
        {"file:///bin/sh", webconfig::HomePageUrl()},
    };
    for (const auto& [address, opened] : cases) {
        SCOPED_TRACE(address.toStdString());
        testsupport::ShellRecorder shell;
        DownloadURL = address;
        QPointer<TNewVer> window = ShownNotification();
        const QPoint centre = window->Label2->mapToGlobal(window->Label2->rect().center());
        SendMouse(window->Label2, QEvent::MouseButtonPress, Qt::LeftButton, centre);
        SendMouse(window->Label2, QEvent::MouseButtonRelease, Qt::LeftButton, centre);
        EXPECT_EQ(shell.openedUrls, QStringList{opened});
        EXPECT_TRUE(WaitUntil([&] { return window.isNull(); }, 2000));
    }
}

TEST_F(NotificationTest, LinkTakesTheHighlightColourUnderThePointer) {
    TNewVer* window = ShownNotification();
    const QColor highlight = QApplication::palette().color(QPalette::Highlight);
    const QColor text = QApplication::palette().color(QPalette::WindowText);
    ASSERT_NE(highlight, text);
    auto colour = [&] { return window->Label2->palette().color(QPalette::WindowText); };

    QCursor::setPos(window->Label2->mapToGlobal(window->Label2->rect().center()));
    if (QCursor::pos() != window->Label2->mapToGlobal(window->Label2->rect().center()))
        GTEST_SKIP() << "this platform cannot place the pointer";
    EXPECT_TRUE(WaitUntil([&] { return colour() == highlight; }, 1000));
    // The whole label counts, not only its text.
    QCursor::setPos(window->Label2->mapToGlobal(QPoint(1, window->Label2->height() - 1)));
    testsupport::PumpEvents(250);
    EXPECT_EQ(colour(), highlight);
    QCursor::setPos(window->Label1->mapToGlobal(QPoint(1, 1)));
    EXPECT_TRUE(WaitUntil([&] { return colour() == text; }, 1000));
}

TEST_F(NotificationTest, DoesNotTakeTheFocusFromTheMainWindow) {
    QWidget mainWindow;
    mainWindow.show();
    mainWindow.activateWindow();
    if (!WaitUntil([&] { return QApplication::activeWindow() == &mainWindow; }, 1000))
        GTEST_SKIP() << "this platform does not activate windows";
    TNewVer* window = ShownNotification();
    testsupport::PumpEvents(50);
    EXPECT_EQ(QApplication::activeWindow(), &mainWindow);
    EXPECT_FALSE(window->isActiveWindow());
}

} // namespace
