#include "platform/errorreport.h"
#include "platform/syserror.h"
#include "support/shellrecorder.h"

#include <QCoreApplication>

#include <cerrno>

#include <gtest/gtest.h>

namespace {

VELMORA_DECLARE_ERROR(ETestError, Exception);

TEST(Errors, DefaultReportAppendsFullStopOnlyAfterCharactersAboveIt) {
    const struct {
        const char* message;
        const char* shown;
    } cases[] = {
        {"Unable to write to /x/settings.ini", "Unable to write to /x/settings.ini."},
        {"Done.", "Done."},
        {"Stop!", "Stop!"},
        {"Trailing blank ", "Trailing blank "},
        {"Comma,", "Comma,"},  // ',' sorts below '.'
        {"Slash/", "Slash/."}, // '/' sorts above '.'
        {"", "."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(platform::DefaultErrorText(QString::fromUtf8(c.message)),
                  QString::fromUtf8(c.shown))
            << c.message;
}

TEST(Errors, OSErrorTextAndClassNames) {
    const EOSError error = platform::MakeOSError(ENOENT);
    EXPECT_EQ(error.Message(),
              QStringLiteral("System Error.  Code: 2.\r\nNo such file or directory"));
    EXPECT_EQ(platform::MakeOSError(0).Message(),
              QStringLiteral("A call to an OS function failed"));
    EXPECT_STREQ(error.ClassName(), "EOSError");

    const auto caught = std::make_exception_ptr(ETestError(QStringLiteral("boom")));
    EXPECT_STREQ(platform::ExceptionClassName(caught), "ETestError");
    EXPECT_EQ(platform::ExceptionMessage(caught), QStringLiteral("boom"));
}

TEST(Errors, EscapedErrorReachesTheDefaultReport) {
    testsupport::ShellRecorder shell;
    struct Thrower : QObject {
        bool event(QEvent*) override { throw ETestError(QStringLiteral("Something failed")); }
    } thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::sendPostedEvents(&thrower);

    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_EQ(shell.messages[0].icon, platform::TMsgIcon::Error);
    EXPECT_EQ(shell.messages[0].caption, QStringLiteral("Velmora"));
    EXPECT_EQ(shell.messages[0].text, QStringLiteral("Something failed."));
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TVelmoraApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Velmora"));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
