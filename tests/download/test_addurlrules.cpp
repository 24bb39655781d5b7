#include "download/addurlrules.h"

#include "qtprint.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

const QString Sample = QStringLiteral("https://example.com/video.m3u8");

TEST(AddUrlRules, TrimRemovesBlanksAndControlsOnlyAtBothEnds) {
    EXPECT_EQ(TAddUrlRules::Trim(QString::fromUtf16(u" \t\r\n\x01\x1f a b \x20\x0b")), "a b");
    EXPECT_EQ(TAddUrlRules::Trim(QString(QChar(0)) + "x" + QChar(0)), "x");
    // Code 127 and the no-break space lie above 32 and stay.
    EXPECT_EQ(TAddUrlRules::Trim(QString::fromUtf16(u"\x7f"
                                                    "x\u00a0")),
              QString::fromUtf16(u"\x7f"
                                 "x\u00a0"));
    EXPECT_EQ(TAddUrlRules::Trim(" \r\n "), QString());
    EXPECT_EQ(TAddUrlRules::Trim(QString()), QString());
}

TEST(AddUrlRules, LowerAsciiTouchesOnlyAToZ) {
    EXPECT_EQ(TAddUrlRules::LowerAscii(QString::fromUtf16(u"HTTP://ÄÖ.Ü/AZ@[`")),
              QString::fromUtf16(u"http://ÄÖ.Ü/az@[`"));
}

TEST(AddUrlRules, InitialTextTakesTheClipboardOnlyWhenItBeginsWithHttp) {
    const struct {
        QString clipboard;
        QString expected;
    } cases[] = {
        {"  HTTPS://EXAMPLE.COM/A.M3U8 \r\n", "HTTPS://EXAMPLE.COM/A.M3U8"},
        {"\thttp://a/1.m3u8\r\nhttp://a/2.m3u8\r\n", "http://a/1.m3u8\r\nhttp://a/2.m3u8"},
        {"Http", "Http"},
        {"htt", Sample},
        {"ftp://a/x.m3u8", Sample},
        {"see http://a/x.m3u8", Sample},
        {QString::fromUtf16(u"\u00a0http://a"), Sample},
        {"", Sample},
        {" \r\n", Sample},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TAddUrlRules::InitialText(c.clipboard, Sample), c.expected)
            << c.clipboard.toStdString();
}

class AddUrlRulesApply : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* caption : {"http://a/0.m3u8", "http://a/1.m3u8", "http://a/2.m3u8"})
            list.Ekle(caption);
        for (int i = 0; i < list.Count(); ++i)
            list.SetStatus(i, "Complete");
    }
    QStringList Captions() const {
        QStringList captions;
        for (int i = 0; i < list.Count(); ++i)
            captions << list.Caption(i);
        return captions;
    }
    TDownloadList list;
};

TEST_F(AddUrlRulesApply, AddModeAddsNonBlankLinesUntrimmedAndSkipsDuplicates) {
    const TAddUrlRules rules = TAddUrlRules::FromEditIndex(list, -1);
    ASSERT_FALSE(rules.IsEditMode());
    const QStringList lines{
        "http://b/x.m3u8",    "", " \t ", "  http://b/indented.m3u8", "http://a/1.m3u8",
        "http://b/last.m3u8 "};
    EXPECT_EQ(rules.Apply(list, lines), TAddUrlRules::arAdded);
    EXPECT_EQ(Captions(),
              (QStringList{"http://a/0.m3u8", "http://a/1.m3u8", "http://a/2.m3u8",
                           "http://b/x.m3u8", "  http://b/indented.m3u8", "http://b/last.m3u8 "}));
    EXPECT_EQ(list.Status(1), "Complete");
    EXPECT_EQ(list.Status(3), QString());
}

TEST_F(AddUrlRulesApply, EditModeJoinsLinesWithCrLfAndClearsTheStatus) {
    const struct {
        QStringList lines;
        QString caption;
    } cases[] = {
        {{"http://a/1.m3u8"}, "http://a/1.m3u8"},
        {{"http://c/x.m3u8", " second"}, "http://c/x.m3u8\r\n second"},
        {{""}, ""},
        {{"http://a/0.m3u8"}, "http://a/0.m3u8"},
    };
    for (const auto& c : cases) {
        list.Clear();
        SetUp();
        const TAddUrlRules rules = TAddUrlRules::FromEditIndex(list, 1);
        ASSERT_TRUE(rules.IsEditMode());
        EXPECT_EQ(rules.Apply(list, c.lines), TAddUrlRules::arEdited);
        ASSERT_EQ(list.Count(), 3);
        // The duplicate rule does not apply to an edit.
        EXPECT_EQ(list.Caption(1), c.caption);
        EXPECT_EQ(list.Status(1), QString());
        EXPECT_EQ(list.Caption(0), "http://a/0.m3u8");
        EXPECT_EQ(list.Status(0), "Complete");
        EXPECT_EQ(list.Caption(2), "http://a/2.m3u8");
        EXPECT_EQ(list.Status(2), "Complete");
    }
}

TEST_F(AddUrlRulesApply, EditFollowsItsEntryWhenEarlierEntriesGo) {
    TAddUrlRules rules = TAddUrlRules::FromEditIndex(list, 2);
    list.Delete(0);
    rules.EntriesRemoved(0, 1);
    EXPECT_EQ(rules.Position(), 1);
    EXPECT_EQ(rules.Apply(list, {"edited"}), TAddUrlRules::arEdited);
    EXPECT_EQ(Captions(), (QStringList{"http://a/1.m3u8", "edited"}));
}

TEST_F(AddUrlRulesApply, EditFindsItsEntryByCaptionWhenThePositionIsUnknown) {
    // The dialog was not told about the removal: the old position now names another entry,
    // so the caption decides.
    const TAddUrlRules rules = TAddUrlRules::FromEditIndex(list, 1);
    list.Delete(0);
    EXPECT_EQ(rules.Apply(list, {"edited"}), TAddUrlRules::arEdited);
    EXPECT_EQ(Captions(), (QStringList{"edited", "http://a/2.m3u8"}));
}

TEST_F(AddUrlRulesApply, EditIsRefusedWhenNoEntryHoldsTheCaption) {
    const struct {
        const char* name;
        std::function<void(TDownloadList&, TAddUrlRules&)> change;
    } cases[] = {
        {"deleted",
         [](TDownloadList& l, TAddUrlRules& r) {
             l.Delete(2);
             r.EntriesRemoved(2, 1);
         }},
        {"all deleted",
         [](TDownloadList& l, TAddUrlRules& r) {
             l.Clear();
             r.EntriesRemoved(0, 3);
         }},
        {"caption changed by another edit",
         [](TDownloadList& l, TAddUrlRules&) { l.SetCaption(2, "other"); }},
        {"deleted, not followed", [](TDownloadList& l, TAddUrlRules&) { l.Delete(2); }},
    };
    for (const auto& c : cases) {
        list.Clear();
        SetUp();
        TAddUrlRules rules = TAddUrlRules::FromEditIndex(list, 2);
        c.change(list, rules);
        const QStringList before = Captions();
        EXPECT_EQ(rules.Apply(list, {"edited"}), TAddUrlRules::arEntryGone) << c.name;
        EXPECT_EQ(Captions(), before) << c.name;
    }
}

TEST_F(AddUrlRulesApply, EditIndexPastTheEndIsRefused) {
    const TAddUrlRules rules = TAddUrlRules::FromEditIndex(list, 3);
    EXPECT_TRUE(rules.IsEditMode());
    EXPECT_EQ(rules.Apply(list, {"edited"}), TAddUrlRules::arEntryGone);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(TAddUrlRules::FromEditIndex(list, std::int64_t{1} << 40).Apply(list, {"x"}),
              TAddUrlRules::arEntryGone);
}

} // namespace
