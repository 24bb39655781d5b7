#include "webservice/email.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct EmailCase {
    const char* what;
    QString text;
    bool valid;
};

void PrintTo(const EmailCase& c, std::ostream* os) {
    *os << c.what;
}

class EmailShape : public ::testing::TestWithParam<EmailCase> {};

TEST_P(EmailShape, MatchesThePatternExactly) {
    EXPECT_EQ(IsValidEmail(GetParam().text), GetParam().valid) << GetParam().what;
}

const EmailCase EmailCases[] = {
    // Accepted.
    {"plain address", QStringLiteral("user@example.com"), true},
    {"plus and dot in local part", QStringLiteral("first.last+tag@example.com"), true},
    {"underscore and hyphen in local part", QStringLiteral("a_b-c@example.com"), true},
    {"hyphen inside the domain", QStringLiteral("user@my-host.example.org"), true},
    {"upper case", QStringLiteral("USER@EXAMPLE.COM"), true},
    {"digits only", QStringLiteral("1@2.3"), true},
    {"one-letter top label", QStringLiteral("user@example.c"), true},
    {"odd but accepted: two dots after the first", QStringLiteral("user@example..com"), true},
    {"odd but accepted: domain starts with hyphen", QStringLiteral("user@-example.com"), true},
    {"odd but accepted: local part only a dot", QStringLiteral(".@example.com"), true},
    // Refused.
    {"empty", QString(), false},
    {"blank", QStringLiteral(" "), false},
    {"missing at sign", QStringLiteral("userexample.com"), false},
    {"empty local part", QStringLiteral("@example.com"), false},
    {"no dot in domain", QStringLiteral("user@localhost"), false},
    {"empty first domain label", QStringLiteral("user@.com"), false},
    {"trailing dot", QStringLiteral("user@example.com."), false},
    {"trailing hyphen", QStringLiteral("user@example.com-"), false},
    {"underscore in domain", QStringLiteral("user@ex_ample.com"), false},
    {"second at sign", QStringLiteral("a@b@example.com"), false},
    {"blank inside", QStringLiteral("us er@example.com"), false},
    {"leading blank", QStringLiteral(" user@example.com"), false},
    {"trailing blank", QStringLiteral("user@example.com "), false},
    {"tab at end", QStringLiteral("user@example.com\t"), false},
    {"newline at end", QStringLiteral("user@example.com\n"), false},
    {"CR LF at end", QStringLiteral("user@example.com\r\n"), false},
    {"newline at start", QStringLiteral("\nuser@example.com"), false},
    {"newline inside", QStringLiteral("user@exam\nple.com"), false},
    {"non-ASCII letter in local part", QStringLiteral("j\u00f6rg@example.com"), false},
    {"non-ASCII letter in domain", QStringLiteral("user@ex\u00e4mple.com"), false},
    {"full-width letter", QStringLiteral("\uff55ser@example.com"), false},
    {"lone surrogate", QStringLiteral("us") + QChar(0xD800) + QStringLiteral("er@example.com"),
     false},
    {"embedded NUL", QStringLiteral("us") + QChar(0) + QStringLiteral("er@example.com"), false},
};

INSTANTIATE_TEST_SUITE_P(Table, EmailShape, ::testing::ValuesIn(EmailCases));

TEST(Email, HugeTextThatAlmostMatchesIsRefused) {
    // Enough backtracking to run into the matcher's limit; that must read as "not valid".
    const QString text =
        QStringLiteral("user@example.") + QString(200000, QLatin1Char('a')) + QLatin1Char('!');
    EXPECT_FALSE(IsValidEmail(text));
    const QString valid = QStringLiteral("user@example.") + QString(200000, QLatin1Char('a'));
    EXPECT_TRUE(IsValidEmail(valid));
}

TEST(Email, ManyThreadsAtOnce) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong] {
            for (int i = 0; i < 500; ++i) {
                if (!IsValidEmail(QStringLiteral("user@example.com")) ||
                    IsValidEmail(QStringLiteral("user@example")))
                    ++wrong;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

} // namespace
