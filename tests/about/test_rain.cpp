#include "about/rain.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <vector>

namespace {

struct TOp {
    char kind; // 'c' clear, 'w' wipe, 'd' draw
    qint32 column;
    qint32 row;
    QChar ch;
    QRgb colour;
    bool operator==(const TOp&) const = default;
};

class TRecorder final : public TRainSink {
public:
    void ClearSurface(QSize size) override {
        ops.push_back({'c', size.width(), size.height(), QChar(), 0});
    }
    void WipeCell(qint32 column, qint32 row) override {
        ops.push_back({'w', column, row, QChar(), 0});
    }
    void DrawChar(qint32 column, qint32 row, QChar ch, QRgb colour) override {
        ops.push_back({'d', column, row, ch, colour});
    }
    std::vector<TOp> ops;
};

// Hands out queued values in order (0 once they run out) and checks each lies below its bound.
struct TScript {
    std::deque<qint32> values;
    std::vector<qint32> bounds;
    TRandomBelow Source() {
        return [this](qint32 n) {
            bounds.push_back(n);
            if (values.empty())
                return 0;
            const qint32 v = values.front();
            values.pop_front();
            EXPECT_LT(v, n);
            return v;
        };
    }
};

class RainTest : public ::testing::Test {
protected:
    void SetUp() override {
        rain::rainAlphabet = QStringLiteral("qen");
        TRain::SeedRandom(12345);
    }
    // A grid of `rows` rows, two drops per column, then every drop replaced by `drops`.
    void Start(QSize outer, const std::vector<TDrop>& drops = {}) {
        model.InitMatrix(&sink, outer);
        if (!drops.empty()) {
            rain::dropCount = qint32(drops.size());
            for (std::size_t i = 0; i < drops.size(); ++i)
                rain::drops[i] = drops[i];
        }
        sink.ops.clear();
    }
    TRain model;
    TRecorder sink;
};

TEST_F(RainTest, GridAndDropsFollowTheCapturedOuterSize) {
    struct Case {
        QSize outer;
        qint32 columns, rows, drops;
    };
    for (const Case& c : {Case{{452, 397}, 56, 33, 112}, Case{{7, 397}, 0, 33, 0},
                          Case{{8, 11}, 1, 0, 2}, Case{{0, 0}, 0, 0, 0}}) {
        SCOPED_TRACE(c.outer.width());
        model.InitMatrix(&sink, c.outer);
        EXPECT_EQ(model.MatrixWidth(), c.columns);
        EXPECT_EQ(model.MatrixHeight(), c.rows);
        ASSERT_EQ(rain::dropCount, c.drops);
        for (qint32 i = 0; i < rain::dropCount; ++i) {
            const TDrop& d = rain::drops[std::size_t(i)];
            EXPECT_EQ(d.column, i % c.columns);
            EXPECT_GE(d.row, 0);
            EXPECT_LT(d.row, std::max(c.rows, 1));
            EXPECT_TRUE(d.speed >= 1 && d.speed <= 3);
            EXPECT_TRUE(d.brightness >= 0 && d.brightness <= 99);
        }
    }
}

TEST_F(RainTest, DropFieldsComeFromTheRandomSourceInOrder) {
    // One column: drops 0 and 1, each drawing row, speed and brightness in this order.
    TScript script{{5, 2, 77, 0, 0, 0}, {}};
    model.SetRandom(script.Source());
    model.InitMatrix(&sink, {8, 120});
    EXPECT_EQ(script.bounds, (std::vector<qint32>{10, 3, 100, 10, 3, 100}));
    EXPECT_EQ(rain::drops[0].row, 5);
    EXPECT_EQ(rain::drops[0].speed, 3);
    EXPECT_EQ(rain::drops[0].brightness, 77);
    EXPECT_EQ(rain::drops[1].speed, 1);
}

TEST_F(RainTest, TooNarrowAWindowDrawsNothing) {
    Start({7, 400});
    for (int i = 0; i < 5; ++i)
        model.UpdateMatrix();
    EXPECT_TRUE(sink.ops.empty());
    EXPECT_EQ(rain::stepCount, 5);
}

TEST_F(RainTest, WideGridsFillTheTableAndLaterColumnsGoWithout) {
    for (qint32 columns : {3000, 6000}) {
        SCOPED_TRACE(columns);
        model.InitMatrix(&sink, {columns * 8, 400});
        ASSERT_EQ(rain::dropCount, MaxDrops);
        std::map<qint32, int> perColumn;
        for (const TDrop& d : rain::drops)
            ++perColumn[d.column];
        for (qint32 column = 0; column < columns; ++column) {
            // Only the first 5000 - columns get a second drop; from 5000 on, none at all.
            const int expected = column < MaxDrops - columns ? 2 : column < MaxDrops ? 1 : 0;
            ASSERT_EQ(perColumn[column], expected) << column;
        }
    }
}

TEST_F(RainTest, SpeedDecidesOnWhichStepsADropMoves) {
    Start({452, 397}, {{0, 5, 3, 50, 0}, {1, 5, 1, 50, 0}, {2, 5, 2, 50, 0}});
    std::vector<qint32> slow, fast, middle;
    for (int step = 0; step < 7; ++step) {
        model.UpdateMatrix();
        slow.push_back(rain::drops[0].row);
        fast.push_back(rain::drops[1].row);
        middle.push_back(rain::drops[2].row);
    }
    EXPECT_EQ(slow, (std::vector<qint32>{6, 6, 6, 7, 7, 7, 8}));    // steps 0, 3, 6
    EXPECT_EQ(fast, (std::vector<qint32>{6, 7, 8, 9, 10, 11, 12})); // every step
    EXPECT_EQ(middle, (std::vector<qint32>{6, 6, 7, 7, 8, 8, 9}));  // steps 0, 2, 4, 6
    EXPECT_EQ(rain::stepCount, 7);
}

TEST_F(RainTest, OneStepWipesThenDrawsTrailAndHeadFromTheRowBeforeTheMove) {
    // Grid of 33 rows: a head in row 10 wipes row 4. The character is the alphabet's
    // position 1, and the trail shows it too.
    TScript script{{1}, {}};
    Start({452, 33 * 12 + 5}, {{7, 10, 1, 50, 0}});
    model.SetRandom(script.Source());
    model.UpdateMatrix();
    const std::vector<TOp> expected{
        {'w', 7, 4, QChar(), 0},
        {'d', 7, 9, QChar(u'e'), qRgb(24, 42, 16)},
        {'d', 7, 10, QChar(u'e'), qRgb(74, 127, 49)},
    };
    EXPECT_EQ(sink.ops, expected);
    EXPECT_EQ(script.bounds, std::vector<qint32>{3});
    EXPECT_EQ(rain::drops[0].lastChar, u'e');
    EXPECT_EQ(rain::drops[0].row, 11);
}

TEST_F(RainTest, BottomDropStartsAgainAtTheTopAndTopDropHasNoTrail) {
    // Drop 0 sits in row matrixHeight + 1 (34) and moves: back to row 0, speed 1 + 1, brightness
    // 63. Drop 1, one row higher, only reaches row 34. Then drop 0 draws from row 0, no trail.
    TScript script{{0, 1, 63, 2}, {}};
    Start({452, 33 * 12}, {{3, 34, 1, 99, 0}, {4, 33, 1, 99, 0}});
    model.SetRandom(script.Source());
    model.UpdateMatrix();
    EXPECT_EQ(rain::drops[0].row, 0);
    EXPECT_EQ(rain::drops[0].speed, 2);
    EXPECT_EQ(rain::drops[0].brightness, 63);
    EXPECT_EQ(rain::drops[1].row, 34);
    EXPECT_EQ(rain::drops[1].speed, 1);

    sink.ops.clear();
    model.UpdateMatrix(); // step 1: drop 0 draws (speed 2, no move), drop 1 wraps
    ASSERT_GE(sink.ops.size(), 2u);
    EXPECT_EQ(sink.ops[0], (TOp{'w', 3, TRain::WipeRow(0, 33), QChar(), 0}));
    EXPECT_EQ(sink.ops[1], (TOp{'d', 3, 0, QChar(u'q'), TRain::HeadColour(63)}));
    EXPECT_EQ(rain::drops[0].row, 0);
}

TEST_F(RainTest, WipeRowIsFortyAboveTheHeadWrappingRoundTheGrid) {
    struct Case {
        qint32 row, matrixHeight, wiped;
    };
    for (const Case& c : {Case{10, 33, 4}, Case{6, 33, 0}, Case{5, 33, 33}, Case{40, 33, 0},
                          Case{45, 33, 5}, Case{0, 10, 4}, Case{3, 0, 0}, Case{0, 100, 61}}) {
        SCOPED_TRACE(testing::Message() << c.row << " of " << c.matrixHeight);
        EXPECT_EQ(TRain::WipeRow(c.row, c.matrixHeight), c.wiped);
    }
}

TEST_F(RainTest, ColoursByIntegerArithmetic) {
    struct Case {
        qint32 brightness;
        QRgb head, trail;
    };
    for (const Case& c :
         {Case{0, qRgb(0, 0, 0), qRgb(0, 0, 0)}, Case{50, qRgb(74, 127, 49), qRgb(24, 42, 16)},
          Case{99, qRgb(148, 252, 98), qRgb(49, 84, 32)}}) {
        SCOPED_TRACE(c.brightness);
        EXPECT_EQ(TRain::HeadColour(c.brightness), c.head);
        EXPECT_EQ(TRain::TrailColour(c.brightness), c.trail);
    }
}

TEST_F(RainTest, ResizeReseedsOnTheCapturedGridAndOnlyInitRestartsTheSteps) {
    Start({452, 397});
    for (int i = 0; i < 3; ++i)
        model.UpdateMatrix();
    rain::drops[0].row = 1000;
    sink.ops.clear();

    model.SetupMatrix({900, 900});
    EXPECT_EQ(sink.ops.front(), (TOp{'c', 900, 900, QChar(), 0}));
    EXPECT_EQ(model.MatrixWidth(), 56);
    EXPECT_EQ(model.MatrixHeight(), 33);
    EXPECT_EQ(rain::dropCount, 112);
    EXPECT_LT(rain::drops[0].row, 33);
    EXPECT_EQ(rain::stepCount, 3);

    model.InitMatrix(&sink, {452, 397});
    EXPECT_EQ(rain::stepCount, 0);
}

TEST_F(RainTest, CharactersAreTheAlphabetsAndHeadsAreDrawnInTheirRow) {
    Start({452, 397});
    std::map<QChar, int> seen;
    for (int step = 0; step < 20; ++step) {
        std::vector<TDrop> before(rain::drops.begin(), rain::drops.begin() + rain::dropCount);
        sink.ops.clear();
        model.UpdateMatrix();
        std::size_t at = 0;
        for (const TDrop& d : before) {
            ASSERT_EQ(sink.ops.at(at++).kind, 'w');
            if (d.row > 0) {
                EXPECT_EQ(sink.ops.at(at).row, d.row - 1);
                EXPECT_EQ(sink.ops.at(at++).colour, TRain::TrailColour(d.brightness));
            }
            const TOp& head = sink.ops.at(at++);
            EXPECT_EQ(head.column, d.column);
            EXPECT_EQ(head.row, d.row);
            EXPECT_EQ(head.colour, TRain::HeadColour(d.brightness));
            ++seen[head.ch];
        }
        ASSERT_EQ(at, sink.ops.size());
    }
    EXPECT_EQ(seen.size(), 3u);
    for (QChar ch : {QChar(u'q'), QChar(u'e'), QChar(u'n')})
        EXPECT_GT(seen[ch], 0) << int(ch.unicode());
}

} // namespace
