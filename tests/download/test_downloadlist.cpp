#include "download/downloadlist.h"

#include "qtprint.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <tuple>
#include <vector>

namespace {

struct EkleCase {
    const char* name;
    QString existing;
    QString added;
    bool addedAgain;
};

class EkleTest : public ::testing::TestWithParam<EkleCase> {};

TEST_P(EkleTest, DuplicateRuleComparesEveryCharacter) {
    const EkleCase& c = GetParam();
    TDownloadList list;
    ASSERT_TRUE(list.Ekle(c.existing));
    EXPECT_EQ(list.Ekle(c.added), c.addedAgain);
    ASSERT_EQ(list.Count(), c.addedAgain ? 2 : 1);
    EXPECT_EQ(list.Caption(0), c.existing);
    if (c.addedAgain) {
        EXPECT_EQ(list.Caption(1), c.added);
        EXPECT_EQ(list.Status(1), QString());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Captions, EkleTest,
    ::testing::Values(EkleCase{"Equal", "http://a/x.m3u8", "http://a/x.m3u8", false},
                      EkleCase{"DifferentCase", "http://a/x.m3u8", "HTTP://A/X.M3U8", true},
                      EkleCase{"TrailingBlank", "http://a/x.m3u8", "http://a/x.m3u8 ", true},
                      EkleCase{"LeadingBlank", "http://a/x.m3u8", " http://a/x.m3u8", true},
                      EkleCase{"CrLfAgainstLf", "a\r\nb", "a\nb", true},
                      EkleCase{"EqualWithLineBreak", "a\r\nb", "a\r\nb", false},
                      EkleCase{"EmptyTwice", "", "", false}),
    [](const auto& param) { return std::string(param.param.name); });

// Records every announcement as (kind, first, count), together with the count the list reported
// at that moment, so the order against the change itself is checked too.
struct Recorder {
    struct Event {
        QString kind;
        int first;
        int count;
        int listCount;
        bool operator==(const Event&) const = default;
    };
    std::vector<Event> events;

    explicit Recorder(TDownloadList& list) {
        auto record = [this, &list](const char* kind) {
            return [this, &list, kind](int first, int count) {
                events.push_back({QString::fromLatin1(kind), first, count, list.Count()});
            };
        };
        QObject::connect(&list, &TDownloadList::aboutToAppend, record("aboutToAppend"));
        QObject::connect(&list, &TDownloadList::appended, record("appended"));
        QObject::connect(&list, &TDownloadList::aboutToRemove, record("aboutToRemove"));
        QObject::connect(&list, &TDownloadList::removed, record("removed"));
        QObject::connect(&list, &TDownloadList::changed, record("changed"));
    }
};

void Filled(TDownloadList& list, const QStringList& captions) {
    for (const QString& caption : captions)
        list.Ekle(caption);
}

TEST(DownloadList, AnnouncesAppendsOnlyWhenSomethingIsAdded) {
    TDownloadList list;
    Filled(list, {"a", "b"});
    Recorder rec(list);
    list.Ekle("c");
    list.Ekle("a");
    const std::vector<Recorder::Event> expected{{"aboutToAppend", 2, 1, 2}, {"appended", 2, 1, 3}};
    EXPECT_EQ(rec.events, expected);
}

TEST(DownloadList, DeleteMovesLaterEntriesUpAndAnnouncesThePosition) {
    TDownloadList list;
    Filled(list, {"a", "b", "c"});
    list.SetStatus(2, "Complete");
    Recorder rec(list);
    list.Delete(1);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Caption(1), "c");
    EXPECT_EQ(list.Status(1), "Complete");
    const std::vector<Recorder::Event> expected{{"aboutToRemove", 1, 1, 3}, {"removed", 1, 1, 2}};
    EXPECT_EQ(rec.events, expected);
    // The removed caption no longer blocks adding it again.
    EXPECT_TRUE(list.Ekle("b"));
}

TEST(DownloadList, ClearAnnouncesEveryPositionAndNothingWhenEmpty) {
    TDownloadList list;
    Filled(list, {"a", "b", "c"});
    Recorder rec(list);
    list.Clear();
    list.Clear();
    const std::vector<Recorder::Event> expected{{"aboutToRemove", 0, 3, 3}, {"removed", 0, 3, 0}};
    EXPECT_EQ(rec.events, expected);
    EXPECT_TRUE(list.Ekle("a"));
}

TEST(DownloadList, EditedCaptionsKeepTheDuplicateRuleRight) {
    TDownloadList list;
    Filled(list, {"a", "b"});
    Recorder rec(list);
    // An edit may produce two equal captions; the rule of Ekle does not apply to it.
    list.SetCaption(1, "a");
    EXPECT_EQ(list.Caption(1), "a");
    EXPECT_TRUE(list.Ekle("b"));
    EXPECT_FALSE(list.Ekle("a"));
    EXPECT_EQ(list.IndexOf("a"), 0);
    list.Delete(0);
    // One entry still holds "a".
    EXPECT_FALSE(list.Ekle("a"));
    EXPECT_EQ(list.IndexOf("a"), 0);
    list.SetCaption(0, "z");
    EXPECT_EQ(list.IndexOf("a"), -1);
    EXPECT_TRUE(list.Ekle("a"));
    ASSERT_GE(rec.events.size(), 1u);
    EXPECT_EQ(rec.events.front(), (Recorder::Event{"changed", 1, 1, 2}));
}

TEST(DownloadList, StatusesChangeAndClearTogether) {
    TDownloadList list;
    Filled(list, {"a", "b", "c"});
    list.SetStatus(0, "Complete");
    list.SetStatus(2, "Error");
    Recorder rec(list);
    list.ClearStatuses();
    for (int i = 0; i < list.Count(); ++i)
        EXPECT_EQ(list.Status(i), QString()) << i;
    const std::vector<Recorder::Event> expected{{"changed", 0, 3, 3}};
    EXPECT_EQ(rec.events, expected);
}

TEST(DownloadList, PositionsOutsideTheListRaiseAndChangeNothing) {
    TDownloadList list;
    Filled(list, {"a"});
    Recorder rec(list);
    for (int index : {-1, 1, 7}) {
        EXPECT_THROW(std::ignore = list.Caption(index), EListError) << index;
        EXPECT_THROW(std::ignore = list.Status(index), EListError) << index;
        EXPECT_THROW(list.SetCaption(index, "x"), EListError) << index;
        EXPECT_THROW(list.SetStatus(index, "x"), EListError) << index;
        EXPECT_THROW(list.Delete(index), EListError) << index;
    }
    EXPECT_TRUE(rec.events.empty());
    ASSERT_EQ(list.Count(), 1);
    EXPECT_EQ(list.Caption(0), "a");
}

} // namespace
