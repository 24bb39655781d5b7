#include "app/identity.h"
#include "webservice/feedback.h"

#include <gtest/gtest.h>

namespace {

using feedback::TFeedbackChoice;

struct TextCase {
    const char* what;
    TFeedbackChoice choice;
    QString likeCaption;
    QString memo;
    QString expected;
};

void PrintTo(const TextCase& c, std::ostream* os) {
    *os << c.what;
}

class FeedbackText : public ::testing::TestWithParam<TextCase> {};

TEST_P(FeedbackText, IsBuiltFromChoiceAndMemo) {
    feedback::TFeedbackInput input;
    input.choice = GetParam().choice;
    input.likeCaption = GetParam().likeCaption;
    input.dislikeCaption = QStringLiteral("I dislike it!");
    input.memoText = GetParam().memo;
    EXPECT_EQ(feedback::BuildFeedbackText(input), GetParam().expected);
}

const TextCase TextCases[] = {
    {"like, empty memo: label and a single CR", TFeedbackChoice::fcLike,
     QStringLiteral("I like it!"), QString(), QStringLiteral("I like it!\r")},
    {"dislike with memo", TFeedbackChoice::fcDislike, QStringLiteral("I like it!"),
     QStringLiteral("Too slow"), QStringLiteral("I dislike it!\rToo slow")},
    {"translated caption in parentheses", TFeedbackChoice::fcLike,
     QStringLiteral("Gef\u00e4llt mir!"), QString(),
     QStringLiteral("I like it! (Gef\u00e4llt mir!)\r")},
    {"no choice, blank memo: nothing", TFeedbackChoice::fcNone, QStringLiteral("I like it!"),
     QStringLiteral("  \n\t \n "), QString()},
    {"no choice, memo only", TFeedbackChoice::fcNone, QStringLiteral("I like it!"),
     QStringLiteral("Nice"), QStringLiteral("Nice")},
    {"memo trimmed, inner LF sent as CR LF", TFeedbackChoice::fcNone, QStringLiteral("I like it!"),
     QStringLiteral("  \n first\nsecond \n\n"), QStringLiteral("first\r\nsecond")},
    {"every line break form becomes CR LF", TFeedbackChoice::fcNone, QStringLiteral("I like it!"),
     QStringLiteral("a\r\nb\rc\u2029d\u2028e"), QStringLiteral("a\r\nb\r\nc\r\nd\r\ne")},
    {"control characters trimmed at the ends only", TFeedbackChoice::fcLike,
     QStringLiteral("I like it!"), QStringLiteral("\x01 a\x02b \x7f"),
     QStringLiteral("I like it!\ra\x02b")},
};

INSTANTIATE_TEST_SUITE_P(Table, FeedbackText, ::testing::ValuesIn(TextCases));

TEST(FeedbackFields, InOrderAndEmailOnlyWhenGiven) {
    ProductName = QStringLiteral("Velmora");
    CaptionText = QStringLiteral("QUENTAR - Velmora");
    VersionText = QStringLiteral("1.3");
    EXPECT_EQ(feedback::BuildFeedbackFields(QStringLiteral("I like it!\r"), QString()),
              (QStringList{"cmd=feedback", "appname=QUENTAR - Velmora", "version=1.3",
                           "feedback=I like it!\r"}));
    EXPECT_EQ(feedback::BuildFeedbackFields(QStringLiteral("x=y&z"), QStringLiteral("a@b.cd")),
              (QStringList{"cmd=feedback", "appname=QUENTAR - Velmora", "version=1.3",
                           "feedback=x=y&z", "email=a@b.cd"}));
}

TEST(FeedbackAnswer, OnlyTrimmedOkCountsAsDelivered) {
    for (const char* yes : {"OK", "OK\n", "OK\r\n", " \tOK \r\n\r\n"})
        EXPECT_TRUE(feedback::IsDeliveredAnswer(QString::fromLatin1(yes))) << yes;
    for (const char* no : {"", "ok", "Ok", "OK.", "OK OK", "NOT OK", "<p>OK</p>", "O K"})
        EXPECT_FALSE(feedback::IsDeliveredAnswer(QString::fromLatin1(no))) << no;
}

TEST(MemoLimit, LineBreaksCountAsCrLf) {
    EXPECT_EQ(feedback::MemoLength(QString()), 0);
    EXPECT_EQ(feedback::MemoLength(QStringLiteral("ab\ncd")), 6);
    EXPECT_EQ(feedback::MemoLength(QStringLiteral("ab\r\ncd\u2029")), 8);
}

TEST(MemoLimit, FitNeverSplitsALineBreakOrASurrogatePair) {
    EXPECT_EQ(feedback::FitToMemoRoom(QStringLiteral("ab\r\ncd"), 3), QStringLiteral("ab"));
    EXPECT_EQ(feedback::FitToMemoRoom(QStringLiteral("ab\r\ncd"), 4), QStringLiteral("ab\n"));
    EXPECT_EQ(feedback::FitToMemoRoom(QStringLiteral("ab\r\ncd"), 100), QStringLiteral("ab\ncd"));
    const QString smile = QStringLiteral("a\U0001F600b");
    EXPECT_EQ(feedback::FitToMemoRoom(smile, 2), QStringLiteral("a"));
    EXPECT_EQ(feedback::FitToMemoRoom(smile, 3), QStringLiteral("a\U0001F600"));
    EXPECT_EQ(feedback::FitToMemoRoom(QStringLiteral("abc"), 0), QString());
}

} // namespace
