#include "about/about.h"

#include "app/identity.h"
#include "app/translate.h"
#include "support/shellrecorder.h"
#include "support/wait.h"
#include "webservice/webconfig.h"

#include <QAction>
#include <QApplication>
#include <QBackingStore>
#include <QDir>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <map>

namespace {

// Counts the paint events a widget receives.
class TPaintCounter : public QObject {
public:
    explicit TPaintCounter(QWidget* watched) { watched->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class AboutBoxTest : public ::testing::Test {
protected:
    void SetUp() override {
        ProductName = QStringLiteral("Velmora");
        VersionText = QStringLiteral("1.3");
        webconfig::SetHostForTests(QStringLiteral("www.example.test"));
        box = new TAboutBox;
    }
    void TearDown() override {
        SetTranslationTableForTests(QString(), {});
        delete box.data();
    }
    void Show() {
        box->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(box));
        // Let the first full paint and the reseeding on show settle.
        testsupport::PumpEvents(30);
    }
    QImage Surface() const {
        auto* image = dynamic_cast<QImage*>(box->backingStore()->paintDevice());
        return image ? image->copy() : QImage();
    }

    testsupport::ShellRecorder shell;
    QPointer<TAboutBox> box;
};

TEST_F(AboutBoxTest, TextsPassThroughTranslateAndShowTheIdentity) {
    delete box.data();
    SetTranslationTableForTests(QStringLiteral("de"),
                                {QStringLiteral("{About}Über"), QStringLiteral("{OK}Gut"),
                                 QStringLiteral("{Info}Mehr"), QStringLiteral("{Credits...}Dank"),
                                 QStringLiteral("{License...}Lizenz")});
    box = new TAboutBox;
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Über Velmora"));
    EXPECT_EQ(box->Label2->text(), QStringLiteral("Velmora 1.3"));
    EXPECT_EQ(box->BitBtn1->text(), QStringLiteral("Gut"));
    EXPECT_EQ(box->BitBtn2->text(), QStringLiteral("Mehr"));
    QStringList items;
    for (QAction* action : box->PopupMenu1->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{QStringLiteral("Dank"), QStringLiteral("How to uninstall..."),
                                  QStringLiteral("Lizenz")}));
    EXPECT_EQ(box->Label5->text(), QStringLiteral("www.example.test"));
    EXPECT_EQ(box->Label5->toolTip(), QStringLiteral("http://www.example.test/"));
    EXPECT_EQ(box->size(), QSize(446, 374));
    EXPECT_EQ(box->minimumSize(), box->maximumSize());
    EXPECT_EQ(box->tmTimer->interval(), 50);
    EXPECT_TRUE(box->tmTimer->isActive());
}

TEST_F(AboutBoxTest, PagesOpenThroughTheShell) {
    Show();
    QTest::mouseClick(box->Label5, Qt::RightButton);
    EXPECT_TRUE(shell.openedUrls.isEmpty());
    QTest::mouseClick(box->Label5, Qt::LeftButton);
    box->Credits1->trigger();
    box->Howtouninstall1->trigger();
    EXPECT_EQ(
        shell.openedUrls,
        (QStringList{
            QStringLiteral("http://www.example.test/"),
            QStringLiteral("http://www.example.test/blog/credits/"),
            QStringLiteral("http://www.example.test/blog/how-to-uninstall-quentar-software/")}));
}

TEST_F(AboutBoxTest, LicenseOpensBesideTheProgramOrSaysItIsMissing) {
    // The test program's folder holds no licence text.
    ASSERT_FALSE(QFile::exists(QCoreApplication::applicationDirPath() + "/license.txt"));
    box->LicensePrivacyPolicy1->trigger();
    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_EQ(shell.messages[0].icon, platform::TMsgIcon::Error);
    EXPECT_EQ(shell.messages[0].caption, QStringLiteral("License"));
    EXPECT_EQ(shell.messages[0].text, QStringLiteral("File not found!"));
    EXPECT_TRUE(shell.openedTextFiles.isEmpty());

    QTemporaryDir temp;
    ASSERT_TRUE(temp.isValid());
    const QString folder = temp.path() + "/Program Files/Velmora 1.3";
    ASSERT_TRUE(QDir().mkpath(folder));
    // A folder of that name is no licence text either.
    ASSERT_TRUE(QDir().mkpath(folder + "/license.txt"));
    ShowLicenseFile(box, folder);
    EXPECT_EQ(shell.messages.size(), 2u);
    ASSERT_TRUE(QDir(folder).rmdir("license.txt"));

    QFile file(folder + "/license.txt");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    ShowLicenseFile(box, folder);
    EXPECT_EQ(shell.openedTextFiles, QStringList{folder + "/license.txt"});
    EXPECT_EQ(shell.messages.size(), 2u);
}

TEST_F(AboutBoxTest, InfoOpensItsMenuUnderTheButtonAndASecondClickClosesIt) {
    quint32 now = 5000;
    struct Shown {
        QMenu* menu;
        QPoint at;
    };
    std::vector<Shown> shown;
    TPopupHooks hooks;
    hooks.popup = [&](QMenu* menu, const QPoint& at) { shown.push_back({menu, at}); };
    hooks.tickCount = [&] { return now; };
    const TPopupHooks previous = SetPopupHooksForTests(hooks);
    Show();
    const QPoint under = box->BitBtn2->mapToGlobal(QPoint(0, box->BitBtn2->height()));

    // Each step: time since the menu last closed, and whether the click opens it.
    struct Step {
        quint32 after;
        bool opens;
    };
    const std::vector<Step> steps{{0, true},   {99, false}, {50, true},
                                  {100, true}, {150, true}, {1, false}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE(i);
        now += steps[i].after;
        const std::size_t before = shown.size();
        QTest::mouseClick(box->BitBtn2, Qt::LeftButton);
        ASSERT_EQ(shown.size(), before + (steps[i].opens ? 1 : 0));
    }
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown[0].menu, box->PopupMenu1);
    EXPECT_EQ(shown[0].at, under);

    // The tick wraps round after 49 days; 30 ms across the wrap is still a closing click.
    now = 0xFFFFFFF0u;
    QTest::mouseClick(box->BitBtn2, Qt::LeftButton);
    const std::size_t before = shown.size();
    now = 0x0000000Eu;
    QTest::mouseClick(box->BitBtn2, Qt::LeftButton);
    EXPECT_EQ(shown.size(), before);
    SetPopupHooksForTests(previous);
}

TEST_F(AboutBoxTest, EscapeOnEitherButtonAndEnterOrSpaceOnOkClose) {
    struct Case {
        const char* button;
        Qt::Key key;
    };
    for (const Case& c : {Case{"BitBtn1", Qt::Key_Escape}, Case{"BitBtn2", Qt::Key_Escape},
                          Case{"BitBtn1", Qt::Key_Return}, Case{"BitBtn1", Qt::Key_Space}}) {
        SCOPED_TRACE(testing::Message() << c.button << " " << c.key);
        delete box.data();
        box = new TAboutBox;
        Show();
        auto* button = box->findChild<QPushButton*>(QLatin1String(c.button));
        ASSERT_NE(button, nullptr);
        button->setFocus();
        QTest::keyClick(button, c.key);
        EXPECT_TRUE(testsupport::WaitUntil([&] { return box.isNull(); }, 2000));
    }
}

TEST_F(AboutBoxTest, OkHasTheFocusWhenTheBoxOpens) {
    Show();
    box->activateWindow();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return box->BitBtn1->hasFocus(); }, 2000));
}

TEST_F(AboutBoxTest, DraggingMovesTheWindowByThePointersTravel) {
    struct Case {
        const char* surface; // empty: the window itself
        Qt::MouseButton button;
        bool drags;
    };
    const std::vector<Case> cases{
        {"", Qt::LeftButton, true},         {"Panel1", Qt::LeftButton, true},
        {"Image1", Qt::LeftButton, true},   {"Label2", Qt::LeftButton, true},
        {"Image2", Qt::LeftButton, true},   {"Image2", Qt::MiddleButton, true},
        {"", Qt::MiddleButton, true},       {"", Qt::RightButton, false},
        {"Image1", Qt::RightButton, false}, {"Label5", Qt::LeftButton, false},
    };
    Show();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.surface << " " << c.button);
        QWidget* surface = *c.surface ? box->findChild<QWidget*>(QLatin1String(c.surface))
                                      : static_cast<QWidget*>(box);
        ASSERT_NE(surface, nullptr);
        // The window's own surface is grabbed on the black border above the panel.
        const QPoint local = *c.surface ? surface->rect().center() : QPoint(20, 10);
        const QPoint start = box->pos();
        const QPoint grabbed = surface->mapToGlobal(local);
        QTest::mousePress(surface, c.button, {}, local);
        QTest::mouseMove(surface, surface->mapFromGlobal(grabbed + QPoint(30, 20)));
        const QPoint afterFirst = box->pos();
        // Far outside the surface now: the press still owns the pointer.
        QTest::mouseMove(surface, surface->mapFromGlobal(grabbed + QPoint(30 - 70, 20 + 400)));
        const QPoint afterSecond = box->pos();
        QTest::mouseRelease(surface, c.button, {},
                            surface->mapFromGlobal(grabbed + QPoint(-40, 420)));
        QTest::mouseMove(surface, surface->mapFromGlobal(grabbed + QPoint(0, 0)));
        if (c.drags) {
            EXPECT_EQ(afterFirst, start + QPoint(30, 20));
            EXPECT_EQ(afterSecond, start + QPoint(-40, 420));
        } else {
            EXPECT_EQ(afterFirst, start);
            EXPECT_EQ(afterSecond, start);
        }
        EXPECT_EQ(box->pos(), afterSecond); // released: the pointer no longer drags
        box->move(100, 100);
    }
}

TEST_F(AboutBoxTest, StepsRepaintOnlyTheirCellsAndNeverThePanel) {
    box->tmTimer->stop(); // steps are driven by hand below
    Show();
    const QRect panel = box->Panel1->geometry();
    const QImage before = Surface();
    ASSERT_FALSE(before.isNull());
    // Bright drops everywhere, heads in the middle rows, so that many fall across the panel.
    for (qint32 i = 0; i < rain::dropCount; ++i) {
        rain::drops[std::size_t(i)].brightness = 99;
        rain::drops[std::size_t(i)].speed = 1;
        rain::drops[std::size_t(i)].row = 2 + i % 20;
    }
    TPaintCounter panelPaints(box->Panel1);
    TPaintCounter boxPaints(box);
    for (int step = 0; step < 3; ++step) {
        box->tmTimerTimer();
        testsupport::PumpEvents(20);
    }
    EXPECT_GT(boxPaints.paints, 0);
    EXPECT_EQ(panelPaints.paints, 0);

    const QImage after = Surface();
    ASSERT_EQ(after.size(), before.size());
    EXPECT_EQ(after.copy(panel), before.copy(panel));
    // A head drawn left of the panel (column 1, rows 3 to 21 after the moves) shows in the
    // head colour: green the strongest channel, red above blue.
    int lit = 0;
    for (int y = 3 * 12; y < 22 * 12; ++y) {
        for (int x = 8; x < 16; ++x) {
            const QColor pixel = after.pixelColor(x, y);
            if (pixel.green() == 0)
                continue;
            ++lit;
            EXPECT_GE(pixel.green(), pixel.red());
            EXPECT_GE(pixel.red(), pixel.blue());
        }
    }
    EXPECT_GT(lit, 0);
}

TEST_F(AboutBoxTest, TheTimerRunsTheRainAndReopeningStartsAfresh) {
    Show();
    ASSERT_TRUE(testsupport::WaitUntil([] { return rain::stepCount >= 3; }, 5000));
    box->close();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return box.isNull(); }, 2000));
    const qint32 stepsBefore = rain::stepCount;
    testsupport::PumpEvents(120);
    EXPECT_EQ(rain::stepCount, stepsBefore); // the timer went with the window

    box = new TAboutBox;
    EXPECT_EQ(rain::stepCount, 0);
    EXPECT_EQ(rain::dropCount, 2 * box->Rain().MatrixWidth());
    EXPECT_EQ(box->Rain().MatrixWidth(), box->Rain().BitmapWidth() / 8);
}

TEST(RainCanvas, RecordsVisibleCellsAsOneRegion) {
    TRainCanvas canvas;
    canvas.SetSurfaceSize({446, 374}); // 56 columns, 32 rows (the last ones partly visible)
    EXPECT_TRUE(canvas.TakeFullRepaint());
    EXPECT_FALSE(canvas.TakeFullRepaint());
    canvas.WipeCell(0, 0);
    canvas.DrawChar(1, 0, QChar(u'q'), qRgb(1, 2, 3));
    canvas.DrawChar(3, 2, QChar(u'e'), qRgb(1, 2, 3));
    canvas.DrawChar(55, 31, QChar(u'e'), qRgb(1, 2, 3));
    canvas.DrawChar(56, 0, QChar(u'n'), qRgb(1, 2, 3)); // right of the surface
    canvas.DrawChar(4, 32, QChar(u'n'), qRgb(1, 2, 3)); // below it
    EXPECT_EQ(canvas.PendingCount(), 4);
    const QRegion expected =
        QRegion(0, 0, 16, 12) + QRegion(24, 24, 8, 12) + QRegion(440, 372, 8, 12);
    EXPECT_EQ(canvas.TakeDirtyRegion(), expected);
    EXPECT_TRUE(canvas.TakeDirtyRegion().isEmpty());
    EXPECT_FALSE(canvas.TakeFullRepaint());

    canvas.ClearSurface({452, 397});
    EXPECT_EQ(canvas.PendingCount(), 0);
    EXPECT_TRUE(canvas.TakeFullRepaint());

    // Past the limit, one rectangle around all the cells.
    canvas.SetSurfaceSize({800, 240});
    for (qint32 column = 2; column < 57; ++column)
        for (qint32 row = 1; row < 20; ++row)
            canvas.WipeCell(column, row);
    ASSERT_GT(55 * 19, TRainCanvas::MaxRegionCells);
    EXPECT_EQ(canvas.TakeDirtyRegion(), QRegion(16, 12, 55 * 8, 19 * 12));
    EXPECT_TRUE(canvas.TakeDirtyRegion().isEmpty());
}

TEST(RainCanvas, ATrailAndItsHeadPaintAsIfDrawnOneAfterTheOther) {
    // Recorded back to back, the two cells are copied as one picture; a wipe elsewhere in
    // between makes them two. Both must give the same pixels.
    auto paint = [](bool between) {
        TRainCanvas canvas;
        canvas.SetSurfaceSize({16, 36});
        canvas.DrawChar(0, 1, QChar(u'n'), TRain::TrailColour(80));
        if (between)
            canvas.WipeCell(1, 0);
        canvas.DrawChar(0, 2, QChar(u'n'), TRain::HeadColour(80));
        QImage image(16, 36, QImage::Format_RGB32);
        image.fill(Qt::blue);
        QPainter painter(&image);
        canvas.Paint(painter);
        return image.copy(0, 0, 8, 36);
    };
    const QImage together = paint(false);
    EXPECT_EQ(together, paint(true));
    EXPECT_EQ(together.pixel(0, 0), qRgb(0, 0, 255)); // the row above stays untouched
    EXPECT_NE(together.copy(0, 12, 8, 12), together.copy(0, 24, 8, 12));
}

TEST(RainCanvas, PaintReplaysTheDrawingInOrderWithinTheCells) {
    TRainCanvas canvas;
    const QFontMetrics metrics(canvas.Font());
    EXPECT_LE(metrics.height(), 12);
    EXPECT_LE(metrics.horizontalAdvance(QChar(u'q')), 8);

    canvas.SetSurfaceSize({32, 12});
    canvas.DrawChar(0, 0, QChar(u'q'), TRain::HeadColour(99));
    canvas.WipeCell(0, 0); // a later wipe wins over an earlier character
    canvas.DrawChar(1, 0, QChar(u'e'), TRain::HeadColour(99));
    canvas.DrawChar(2, 0, QChar(u'n'), TRain::HeadColour(0)); // black: only its background
    QImage image(32, 12, QImage::Format_RGB32);
    const QRgb red = qRgb(255, 0, 0);
    image.fill(red);
    {
        QPainter painter(&image);
        canvas.Paint(painter);
    }
    EXPECT_EQ(canvas.PendingCount(), 0);
    auto cell = [&](int column) {
        std::map<QRgb, int> colours;
        for (int y = 0; y < 12; ++y)
            for (int x = column * 8; x < column * 8 + 8; ++x)
                ++colours[image.pixel(x, y)];
        return colours;
    };
    EXPECT_EQ(cell(0), (std::map<QRgb, int>{{qRgb(0, 0, 0), 96}}));
    int green = 0;
    for (const auto& [colour, count] : cell(1)) {
        if (colour == red || colour == qRgb(0, 0, 0))
            continue;
        EXPECT_GE(qGreen(colour), qRed(colour));
        EXPECT_GE(qRed(colour), qBlue(colour));
        if (qGreen(colour) > 128)
            green += count;
    }
    EXPECT_GT(green, 0);
    EXPECT_GT(cell(2)[qRgb(0, 0, 0)], 0);
    EXPECT_EQ(cell(2).size() - cell(2).count(red), 1u); // black and nothing but black
    EXPECT_EQ(cell(3), (std::map<QRgb, int>{{red, 96}}));
}

TEST(RainCanvas, AnUnpaintedWindowOverflowsIntoAFullRepaint) {
    TRainCanvas canvas;
    canvas.SetSurfaceSize({446, 374});
    canvas.TakeFullRepaint();
    // More than two steps of the largest table without a paint in between.
    for (int i = 0; i <= MaxDrops * 3 * 2; ++i)
        canvas.DrawChar(i % 50, 3, QChar(u'q'), qRgb(0, 255, 0));
    EXPECT_TRUE(canvas.TakeFullRepaint());
    EXPECT_EQ(canvas.PendingCount(), 0);
    EXPECT_TRUE(canvas.TakeDirtyRegion().isEmpty());
    canvas.WipeCell(0, 0);
    EXPECT_EQ(canvas.PendingCount(), 1);
}

TEST(ShowAboutBox, OpensModallyAndFreesItselfOnClose) {
    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        auto* modal = qobject_cast<TAboutBox*>(QApplication::activeModalWidget());
        ASSERT_NE(modal, nullptr);
        wasModal = modal->isModal();
        modal->BitBtn1->click();
    });
    ShowAboutBox(nullptr);
    EXPECT_TRUE(wasModal);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<TAboutBox*>(widget), nullptr);
}

} // namespace
