#include "app/identity.h"
#include "app/translate.h"
#include "support/shellrecorder.h"
#include "webservice/feedback.h"

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QTimer>
#include <QtTest/QTest>

#include <gtest/gtest.h>

namespace {

void SetIdentity() {
    ProductName = QStringLiteral("Velmora");
    CaptionText = QStringLiteral("QUENTAR - Velmora");
    VersionText = QStringLiteral("1.3");
}

// Runs the deletions that closed windows asked for.
void RunDeferredDeletes() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

class FeedbackForm : public ::testing::Test {
protected:
    void SetUp() override { SetIdentity(); }
    void TearDown() override {
        if (form)
            form->close();
        RunDeferredDeletes();
        SetTranslationTableForTests(QString(), QStringList());
    }

    // The window frees itself when it closes; TearDown closes it if a test did not.
    void Open() {
        form = new TFeedbackForm;
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
    }

    template <class T> T* Child(const char* name) {
        T* child = form->findChild<T*>(QLatin1String(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
    feedback::TChoicePanel* Panel(const char* name) { return Child<feedback::TChoicePanel>(name); }
    QPlainTextEdit* Memo() { return Child<QPlainTextEdit>("Memo1"); }
    QLineEdit* Email() { return Child<QLineEdit>("Edit1"); }
    QPushButton* Send() { return Child<QPushButton>("BitBtn1"); }

    testsupport::ShellRecorder shell;
    QPointer<TFeedbackForm> form;
};

TEST_F(FeedbackForm, LayoutTextsAndFonts) {
    Open();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Velmora feedback"));
    EXPECT_EQ(form->size(), QSize(525, 326));
    EXPECT_EQ(form->minimumSize(), QSize(525, 326));
    EXPECT_EQ(form->maximumSize(), QSize(525, 326));
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                          Qt::WindowContextHelpButtonHint));
    EXPECT_TRUE(form->testAttribute(Qt::WA_DeleteOnClose));
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_LE((form->frameGeometry().center() - screen.center()).manhattanLength(), 40);

    EXPECT_EQ(form->font().family(), QStringLiteral("Tahoma"));
    EXPECT_EQ(form->font().pixelSize(), 11);

    EXPECT_EQ(Child<QWidget>("Panel3")->geometry(), QRect(0, 0, 525, 46));
    EXPECT_EQ(Panel("Panel4")->geometry(), QRect(3, 3, 257, 40));
    EXPECT_EQ(Panel("Panel5")->geometry(), QRect(266, 3, 256, 40));
    EXPECT_EQ(Child<QWidget>("Panel1")->geometry(), QRect(0, 256, 525, 30));
    EXPECT_EQ(Child<QWidget>("Panel2")->geometry(), QRect(0, 286, 525, 40));
    EXPECT_EQ(Send()->geometry(), QRect(525 - 3 - 180, 3, 180, 34));
    EXPECT_EQ(Memo()->geometry().bottom() + 1, 256 - 3);
    EXPECT_EQ(Email()->geometry().height(), 24);

    struct Text {
        const char* name;
        const char* text;
        int pixelSize;
        bool bold;
    };
    for (const Text& t : {Text{"Label1", "We would really appreciate your feedback.", 16, false},
                          Text{"Label2", "What did you like or dislike?", 13, true},
                          Text{"Label3", "Include my e-mail:", 13, false}}) {
        QLabel* label = Child<QLabel>(t.name);
        EXPECT_EQ(label->text(), QLatin1String(t.text));
        EXPECT_EQ(label->font().pixelSize(), t.pixelSize) << t.name;
        EXPECT_EQ(label->font().bold(), t.bold) << t.name;
    }
    EXPECT_EQ(Panel("Panel4")->Caption(), QStringLiteral("I like it!"));
    EXPECT_EQ(Panel("Panel5")->Caption(), QStringLiteral("I dislike it!"));
    EXPECT_EQ(Panel("Panel4")->font().pixelSize(), 16);
    EXPECT_EQ(Send()->text(), QStringLiteral("Send"));
    EXPECT_TRUE(Send()->font().bold());
    EXPECT_EQ(Send()->font().pixelSize(), 13);
    EXPECT_EQ(Memo()->font().pixelSize(), 13);
    EXPECT_EQ(Email()->font().pixelSize(), 13);
    EXPECT_EQ(Memo()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(Memo()->lineWrapMode(), QPlainTextEdit::WidgetWidth);

    for (const char* name : {"Image1", "Image2"}) {
        QLabel* image = Child<QLabel>(name);
        EXPECT_EQ(image->size(), QSize(32, 32)) << name;
        EXPECT_FALSE(image->pixmap().isNull()) << name;
    }
    QLabel* glyph = Child<QLabel>("BitBtn1Glyph");
    EXPECT_EQ(glyph->geometry(), QRect(3, 9, 16, 16));
    EXPECT_FALSE(glyph->pixmap().isNull());
    EXPECT_EQ(glyph->pixmap().size(), QSize(16, 16));

    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    EXPECT_EQ(QApplication::focusWidget(), Memo());
}

TEST_F(FeedbackForm, EveryTextPassesThroughTranslate) {
    SetTranslationTableForTests(QStringLiteral("de"),
                                {QStringLiteral("{feedback}R\u00fcckmeldung"),
                                 QStringLiteral("{We would really "
                                                "appreciate your "
                                                "feedback.}L1"),
                                 QStringLiteral("{What did you like or dislike?}L2"),
                                 QStringLiteral("{Include my e-mail:}L3"),
                                 QStringLiteral("{Send}Senden"),
                                 QStringLiteral("{I like it!}Gef\u00e4llt mir!"),
                                 QStringLiteral("{I dislike it!}Gef\u00e4llt mir nicht!")});
    Open();
    EXPECT_EQ(form->windowTitle(), QStringLiteral("Velmora R\u00fcckmeldung"));
    EXPECT_EQ(Child<QLabel>("Label1")->text(), QStringLiteral("L1"));
    EXPECT_EQ(Child<QLabel>("Label2")->text(), QStringLiteral("L2"));
    EXPECT_EQ(Child<QLabel>("Label3")->text(), QStringLiteral("L3"));
    EXPECT_EQ(Send()->text(), QStringLiteral("Senden"));
    EXPECT_EQ(Panel("Panel4")->Caption(), QStringLiteral("Gef\u00e4llt mir!"));
    EXPECT_EQ(Panel("Panel5")->Caption(), QStringLiteral("Gef\u00e4llt mir nicht!"));
}

// The colours a panel shows, read back from what it paints.
QColor PaintedBackground(QWidget* panel) {
    // Right of the caption and the picture, inside the bevel.
    return panel->grab().toImage().pixelColor(panel->width() - 8, panel->height() / 2);
}

void ExpectLook(feedback::TChoicePanel* panel, bool chosen) {
    const QPalette system = QApplication::palette();
    const QColor background = system.color(chosen ? QPalette::Highlight : QPalette::Button);
    const QColor text = system.color(chosen ? QPalette::HighlightedText : QPalette::WindowText);
    EXPECT_EQ(panel->Chosen(), chosen) << qPrintable(panel->objectName());
    EXPECT_EQ(panel->palette().color(QPalette::Window), background);
    EXPECT_EQ(panel->palette().color(QPalette::WindowText), text);
    EXPECT_EQ(panel->frameShadow(), chosen ? QFrame::Sunken : QFrame::Raised);
    EXPECT_EQ(PaintedBackground(panel), background) << qPrintable(panel->objectName());
}

TEST_F(FeedbackForm, ChoosingSwitchesButNeverClears) {
    Open();
    feedback::TChoicePanel* like = Panel("Panel4");
    feedback::TChoicePanel* dislike = Panel("Panel5");
    ASSERT_NE(QApplication::palette().color(QPalette::Highlight),
              QApplication::palette().color(QPalette::Button));
    EXPECT_EQ(like->cursor().shape(), Qt::PointingHandCursor);
    ExpectLook(like, false);
    ExpectLook(dislike, false);

    QTest::mouseClick(like, Qt::LeftButton);
    ExpectLook(like, true);
    ExpectLook(dislike, false);

    // A click on the picture counts as a click on its panel.
    QTest::mouseClick(Child<QLabel>("Image2"), Qt::LeftButton);
    ExpectLook(like, false);
    ExpectLook(dislike, true);

    QTest::mouseClick(dislike, Qt::LeftButton);
    ExpectLook(dislike, true);
    ExpectLook(like, false);

    QTest::mouseClick(Child<QLabel>("Image1"), Qt::LeftButton);
    ExpectLook(like, true);
    ExpectLook(dislike, false);

    // A new system palette is taken up at once.
    const QPalette saved = QApplication::palette();
    QPalette changed = saved;
    changed.setColor(QPalette::Highlight, QColor(12, 34, 56));
    changed.setColor(QPalette::Button, QColor(200, 190, 180));
    QApplication::setPalette(changed);
    QCoreApplication::processEvents();
    ExpectLook(like, true);
    ExpectLook(dislike, false);
    QApplication::setPalette(saved);
}

TEST_F(FeedbackForm, MemoHoldsAtMostTenThousandCharactersCountingLineBreaksAsTwo) {
    Open();
    QPlainTextEdit* memo = Memo();
    memo->setFocus();

    // 1 666 lines of "abcd" and CR LF make 9 996; the next "abcd" fills the memo exactly and
    // its line break no longer fits.
    QString lines;
    for (int i = 0; i < 2000; ++i)
        lines += QStringLiteral("abcd\r\n");
    QGuiApplication::clipboard()->setText(lines);
    memo->paste();
    QString expected = QStringLiteral("abcd\n").repeated(1666) + QStringLiteral("abcd");
    EXPECT_EQ(memo->toPlainText(), expected);
    EXPECT_EQ(feedback::MemoLength(memo->toPlainText()), feedback::MemoMaxLength);

    // Full: neither a letter nor a line break gets in, by typing or pasting.
    QTest::keyClicks(memo, QStringLiteral("x"));
    QTest::keyClick(memo, Qt::Key_Return);
    QGuiApplication::clipboard()->setText(QStringLiteral("more"));
    memo->paste();
    EXPECT_EQ(memo->toPlainText(), expected);

    // One character of room: a letter fits, a line break (two) does not.
    QTest::keyClick(memo, Qt::Key_Backspace);
    QTest::keyClick(memo, Qt::Key_Return);
    QTest::keyClicks(memo, QStringLiteral("yz"));
    expected.chop(1);
    expected += QLatin1Char('y');
    EXPECT_EQ(memo->toPlainText(), expected);

    // Typing over a selection replaces it, as the length does not grow.
    QTest::keyClick(memo, Qt::Key_Left, Qt::ShiftModifier);
    QTest::keyClicks(memo, QStringLiteral("Q"));
    expected.chop(1);
    expected += QLatin1Char('Q');
    EXPECT_EQ(memo->toPlainText(), expected);

    // Text that gets in another way is cut back too: just before the cursor, where it went,
    // and off the end when the cursor stands at the start.
    memo->setPlainText(QStringLiteral("hello"));
    QTextCursor cursor = memo->textCursor();
    cursor.setPosition(2);
    memo->setTextCursor(cursor);
    memo->insertPlainText(QString(10000, QLatin1Char('x')));
    EXPECT_EQ(memo->toPlainText(),
              QStringLiteral("he") + QString(9995, QLatin1Char('x')) + QStringLiteral("llo"));
    memo->setPlainText(QString(10010, QLatin1Char('m')));
    EXPECT_EQ(memo->toPlainText(), QString(10000, QLatin1Char('m')));
}

TEST_F(FeedbackForm, EmailFieldHoldsAtMostHundredCharacters) {
    Open();
    QLineEdit* email = Email();
    email->setFocus();
    QGuiApplication::clipboard()->setText(QString(150, QLatin1Char('e')));
    email->paste();
    EXPECT_EQ(email->text(), QString(100, QLatin1Char('e')));
    QTest::keyClicks(email, QStringLiteral("more"));
    EXPECT_EQ(email->text().size(), 100);
}

TEST_F(FeedbackForm, EnterSendsExceptInsideTheMemo) {
    Open();
    EXPECT_TRUE(Send()->isDefault());

    // Inside the memo Enter is a line break; nothing is sent.
    QTest::keyClick(Memo(), Qt::Key_Return);
    EXPECT_EQ(Memo()->toPlainText(), QStringLiteral("\n"));
    EXPECT_EQ(shell.beeps, 0);

    // In the e-mail field Enter presses Send: with nothing to send that is the beep.
    Email()->setFocus();
    QTest::keyClick(Email(), Qt::Key_Return);
    EXPECT_EQ(shell.beeps, 1);
    EXPECT_TRUE(shell.messages.empty());
    EXPECT_TRUE(form);
}

class FeedbackFormEscape : public FeedbackForm,
                           public ::testing::WithParamInterface<const char*> {};

TEST_P(FeedbackFormEscape, ClosesAndFreesTheWindow) {
    Open();
    Memo()->setPlainText(QStringLiteral("typed"));
    QWidget* control = Child<QWidget>(GetParam());
    control->setFocus();
    QTest::keyClick(control, Qt::Key_Escape);
    RunDeferredDeletes();
    EXPECT_FALSE(form) << GetParam();
    EXPECT_TRUE(shell.messages.empty());
    EXPECT_EQ(shell.beeps, 0);
}

INSTANTIATE_TEST_SUITE_P(Controls, FeedbackFormEscape,
                         ::testing::Values("Memo1", "Edit1", "BitBtn1"));

TEST(ShowFeedbackFormTest, OpensModalOverItsParentAndFreesItselfOnClose) {
    SetIdentity();
    QWidget owner;
    owner.show();
    bool wasModal = false;
    QObject* parent = nullptr;
    QTimer::singleShot(0, [&] {
        auto* modal = qobject_cast<TFeedbackForm*>(QApplication::activeModalWidget());
        if (modal) {
            wasModal = modal->isModal() && modal->isVisible();
            parent = modal->parent();
            QTest::keyClick(modal->findChild<QPlainTextEdit*>(QStringLiteral("Memo1")),
                            Qt::Key_Escape);
        }
        // Never leave a modal window waiting for a person.
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (qobject_cast<TFeedbackForm*>(window) && window->isVisible())
                window->close();
        }
    });
    ShowFeedbackForm(&owner);
    EXPECT_TRUE(wasModal);
    EXPECT_EQ(parent, &owner);
    RunDeferredDeletes();
    EXPECT_TRUE(owner.findChildren<TFeedbackForm*>().isEmpty());
}

} // namespace
