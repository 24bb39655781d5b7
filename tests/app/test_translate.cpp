#include "app/translate.h"

#include <gtest/gtest.h>

namespace {

struct TableGuard {
    TableGuard(const QString& switchValue, const QStringList& table) {
        SetTranslationTableForTests(switchValue, table);
    }
    ~TableGuard() { SetTranslationTableForTests(QString(), {}); }
};

TEST(Translate, WithoutSwitchValueEveryTextComesBackUnchanged) {
    // A table alone does nothing while the switch value is empty.
    TableGuard guard(QString(), {QStringLiteral("{Send}Senden")});
    EXPECT_EQ(Translate(QStringLiteral("Send")), QStringLiteral("Send"));
    EXPECT_EQ(Translate(QString()), QString());
}

TEST(Translate, TableLookup) {
    TableGuard guard(QStringLiteral("de"), {
                                               QStringLiteral("{send}klein"),
                                               QStringLiteral("x{OK}mitten"),
                                               QStringLiteral("{Send}Senden"),
                                               QStringLiteral("{Send}Zweite"),
                                               QStringLiteral("{Cancel}"),
                                               QStringLiteral("{Info}  Info mit Blanks  "),
                                           });
    const struct {
        const char* english;
        const char* expected;
    } cases[] = {
        {"Send", "Senden"},              // first of two equal keys wins; lower case ignored
        {"OK", "OK"},                    // the key must stand at the line's start
        {"Cancel", "Cancel"},            // nothing after the brace keeps the English text
        {"Info", "  Info mit Blanks  "}, // no trimming
        {"Unknown", "Unknown"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Translate(QString::fromUtf8(c.english)), QString::fromUtf8(c.expected))
            << c.english;
}

} // namespace
