#include "download/addurlform.h"

#include "app/translate.h"
#include "download/downloadlist.h"
#include "support/shellrecorder.h"
#include "support/wait.h"

#include "qtprint.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>

namespace {

const QString Sample = QStringLiteral("https://example.com/video.m3u8");

QStringList Captions(const TDownloadList& list) {
    QStringList captions;
    for (int i = 0; i < list.Count(); ++i)
        captions << list.Caption(i);
    return captions;
}

class AddUrlForm : public ::testing::Test {
protected:
    void SetUp() override { QGuiApplication::clipboard()->clear(); }
    void TearDown() override {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (qobject_cast<TFormAddM3U8*>(widget))
                widget->close();
        }
        testsupport::WaitUntil([] { return OpenDialogs() == 0; }, 5000);
        EditIndex = -1;
    }
    static int OpenDialogs() {
        int count = 0;
        for (QWidget* widget : QApplication::topLevelWidgets())
            count += qobject_cast<TFormAddM3U8*>(widget) != nullptr;
        return count;
    }
    // Deleting on close is deferred to the event loop.
    static bool Freed(const QPointer<TFormAddM3U8>& dialog) {
        return testsupport::WaitUntil([&] { return dialog.isNull(); }, 5000);
    }

    TDownloadList list;
};

TEST_F(AddUrlForm, WindowLooksAsDesigned) {
    QPointer<TFormAddM3U8> dialog = OpenAddDialog(nullptr, list);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(dialog->isModal());
    EXPECT_TRUE(dialog->testAttribute(Qt::WA_DeleteOnClose));
    EXPECT_EQ(dialog->windowTitle(), "Add M3U8");
    EXPECT_EQ(dialog->size(), QSize(499, 119));
    EXPECT_EQ(dialog->minimumSize(), dialog->maximumSize());
    const Qt::WindowFlags flags = dialog->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(dialog->font().pixelSize(), 11);
    EXPECT_EQ(dialog->font().family(), "Tahoma");
    const QPoint screenCentre = QGuiApplication::primaryScreen()->availableGeometry().center();
    EXPECT_LE((dialog->geometry().center() - screenCentre).manhattanLength(), 2);

    EXPECT_EQ(dialog->Label1->text(), "URL:");
    EXPECT_EQ(dialog->Label1->pos(), QPoint(8, 11));
    EXPECT_EQ(dialog->Memo1->geometry(), QRect(37, 8, 452, 73));
    EXPECT_EQ(dialog->Memo1->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(dialog->Memo1->toPlainText(), Sample);
    EXPECT_EQ(dialog->Button1->text(), "Add");
    EXPECT_TRUE(dialog->Button1->font().bold());
    EXPECT_EQ(dialog->Button1->geometry(), QRect(37, 87, 100, 25));
    EXPECT_EQ(dialog->Button2->text(), "Cancel");
    EXPECT_FALSE(dialog->Button2->font().bold());
    EXPECT_EQ(dialog->Button2->geometry(), QRect(143, 87, 100, 25));
    QStringList items;
    for (QAction* action : dialog->PopupMenu1->actions())
        items << action->text();
    EXPECT_EQ(items, (QStringList{"Cut", "Copy", "Paste", "Delete"}));
}

TEST_F(AddUrlForm, EnterStartsANewLineAndEscapeDoesNothing) {
    QPointer<TFormAddM3U8> dialog = OpenAddDialog(nullptr, list);
    dialog->Memo1->moveCursor(QTextCursor::End);
    // Shift+Enter gives the editor's soft line break, which must still count as a new line.
    const std::pair<int, Qt::KeyboardModifiers> keys[] = {{Qt::Key_Return, Qt::NoModifier},
                                                          {Qt::Key_Enter, Qt::NoModifier},
                                                          {Qt::Key_Return, Qt::ShiftModifier},
                                                          {Qt::Key_A, Qt::NoModifier},
                                                          {Qt::Key_Escape, Qt::NoModifier}};
    for (const auto& [key, modifiers] : keys) {
        QKeyEvent press(QEvent::KeyPress, key, modifiers, key == Qt::Key_A ? "a" : QString());
        QApplication::sendEvent(dialog->Memo1, &press);
    }
    testsupport::PumpEvents(50);
    ASSERT_TRUE(dialog);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->Lines(), (QStringList{Sample, "", "", "a"}));
    dialog->Button1Click();
    EXPECT_EQ(list.Count(), 2);
}

TEST_F(AddUrlForm, EditorTakesAddressesFromTheClipboard) {
    const struct {
        QString clipboard;
        QStringList lines;
    } cases[] = {
        {"   HTTPS://EXAMPLE.ORG/LIVE/INDEX.M3U8  \r\n", {"HTTPS://EXAMPLE.ORG/LIVE/INDEX.M3U8"}},
        {"not an address http://a/x.m3u8", {Sample}},
        {QString(), {Sample}},
        {"http://a/1.m3u8\r\nhttp://a/2.m3u8\nhttp://a/3.m3u8",
         {"http://a/1.m3u8", "http://a/2.m3u8", "http://a/3.m3u8"}},
    };
    for (const auto& c : cases) {
        QGuiApplication::clipboard()->setText(c.clipboard);
        QPointer<TFormAddM3U8> dialog = OpenAddDialog(nullptr, list);
        EXPECT_EQ(dialog->Lines(), c.lines) << c.clipboard.toStdString();
        dialog->Button2Click();
        EXPECT_TRUE(Freed(dialog));
    }
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(AddUrlForm, AddTakesEachNonBlankLineAndFreesTheDialog) {
    list.Ekle("http://a/dup.m3u8");
    QPointer<TFormAddM3U8> dialog = OpenAddDialog(nullptr, list);
    dialog->Memo1->setPlainText(
        "http://a/1.m3u8\r\n   \r\n  http://a/indented.m3u8\r\nhttp://a/dup.m3u8\r\n\r\nlast");
    dialog->Button1->click();
    EXPECT_EQ(Captions(list), (QStringList{"http://a/dup.m3u8", "http://a/1.m3u8",
                                           "  http://a/indented.m3u8", "last"}));
    EXPECT_TRUE(Freed(dialog));
}

TEST_F(AddUrlForm, EditReplacesTheCaptionAndClearsTheStatus) {
    const QString Edited = QString::fromUtf16(u"http://a/1.m3u8?a=\u00a0b\r\n");
    const struct {
        QString editorText;
        QString caption;
    } cases[] = {
        // Untouched text stays exactly as it was, no-break space and final line break included.
        {QString(), Edited},
        {"http://b/x.m3u8\nsecond line", "http://b/x.m3u8\r\nsecond line"},
        {"", ""},
    };
    for (const auto& c : cases) {
        list.Clear();
        list.Ekle("http://a/0.m3u8");
        list.Ekle(Edited);
        list.SetStatus(1, "Complete");
        QPointer<TFormAddM3U8> dialog = OpenEditDialog(nullptr, list, 1);
        ASSERT_TRUE(dialog);
        EXPECT_EQ(EditIndex, 1);
        EXPECT_EQ(dialog->windowTitle(), "Edit M3U8");
        if (!c.editorText.isNull())
            dialog->Memo1->setPlainText(c.editorText);
        dialog->Button1Click();
        EXPECT_EQ(Captions(list), (QStringList{"http://a/0.m3u8", c.caption}));
        EXPECT_EQ(list.Status(1), QString());
        EXPECT_TRUE(Freed(dialog));
    }
}

TEST_F(AddUrlForm, OpenDialogsKeepTheirOwnModes) {
    list.Ekle("http://a/0.m3u8");
    list.Ekle("http://a/1.m3u8");
    QPointer<TFormAddM3U8> edit = OpenEditDialog(nullptr, list, 1);
    QPointer<TFormAddM3U8> add = OpenAddDialog(nullptr, list);
    EXPECT_EQ(EditIndex, -1);
    EXPECT_EQ(OpenDialogs(), 2);
    EXPECT_EQ(add->windowTitle(), "Add M3U8");

    add->Memo1->setPlainText("http://a/new.m3u8");
    edit->Memo1->setPlainText("http://a/edited.m3u8");
    // The later edit dialog must not turn the earlier add dialog into an editor either.
    QPointer<TFormAddM3U8> edit0 = OpenEditDialog(nullptr, list, 0);
    add->Button1Click();
    edit->Button1Click();
    EXPECT_EQ(Captions(list),
              (QStringList{"http://a/0.m3u8", "http://a/edited.m3u8", "http://a/new.m3u8"}));
    EXPECT_TRUE(Freed(add));
    EXPECT_TRUE(Freed(edit));
    edit0->Button2Click();
    EXPECT_TRUE(Freed(edit0));
    EXPECT_EQ(list.Count(), 3);
}

TEST_F(AddUrlForm, EditAfterEarlierEntriesWereDeletedReachesTheSameEntry) {
    for (const char* caption : {"http://a/0.m3u8", "http://a/1.m3u8", "http://a/2.m3u8"})
        list.Ekle(caption);
    QPointer<TFormAddM3U8> dialog = OpenEditDialog(nullptr, list, 2);
    list.Delete(0);
    dialog->Memo1->setPlainText("http://a/edited.m3u8");
    dialog->Button1Click();
    EXPECT_EQ(Captions(list), (QStringList{"http://a/1.m3u8", "http://a/edited.m3u8"}));
    EXPECT_TRUE(Freed(dialog));
}

TEST_F(AddUrlForm, EditOfAnEntryThatIsGoneIsRefusedWithAMessage) {
    testsupport::ShellRecorder shell;
    for (const char* caption : {"http://a/0.m3u8", "http://a/1.m3u8"})
        list.Ekle(caption);
    QPointer<TFormAddM3U8> dialog = OpenEditDialog(nullptr, list, 1);
    list.Delete(1);
    list.Ekle("http://a/other.m3u8");
    dialog->Memo1->setPlainText("http://a/edited.m3u8");
    dialog->Button1Click();
    EXPECT_EQ(Captions(list), (QStringList{"http://a/0.m3u8", "http://a/other.m3u8"}));
    ASSERT_EQ(shell.messages.size(), 1u);
    EXPECT_EQ(shell.messages[0].icon, platform::TMsgIcon::Error);
    EXPECT_EQ(shell.messages[0].caption, "Edit M3U8");
    EXPECT_TRUE(shell.messages[0].text.contains("no longer in the list"));
    // The typed text is not thrown away.
    testsupport::PumpEvents(20);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(dialog->Memo1->toPlainText(), "http://a/edited.m3u8");
}

TEST_F(AddUrlForm, EditIsNotOpenedWithoutAnEntry) {
    list.Ekle("http://a/0.m3u8");
    EXPECT_EQ(OpenEditDialog(nullptr, list, -1), nullptr);
    EXPECT_EQ(OpenEditDialog(nullptr, list, 1), nullptr);
    EXPECT_EQ(OpenDialogs(), 0);
}

TEST_F(AddUrlForm, CloseBoxAndCancelChangeNothing) {
    list.Ekle("http://a/0.m3u8");
    QPointer<TFormAddM3U8> add = OpenAddDialog(nullptr, list);
    QPointer<TFormAddM3U8> edit = OpenEditDialog(nullptr, list, 0);
    edit->Memo1->setPlainText("changed");
    add->close();
    edit->Button2->click();
    EXPECT_TRUE(Freed(add));
    EXPECT_TRUE(Freed(edit));
    EXPECT_EQ(Captions(list), QStringList{"http://a/0.m3u8"});
}

TEST_F(AddUrlForm, EditorMenuCutsCopiesPastesAndDeletes) {
    QPointer<TFormAddM3U8> dialog = OpenAddDialog(nullptr, list);
    QPlainTextEdit* memo = dialog->Memo1;
    memo->setPlainText("abcdef");
    auto select = [memo](int from, int to) {
        QTextCursor cursor = memo->textCursor();
        cursor.setPosition(from);
        cursor.setPosition(to, QTextCursor::KeepAnchor);
        memo->setTextCursor(cursor);
    };
    select(0, 2);
    dialog->Copy1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "ab");
    EXPECT_EQ(memo->toPlainText(), "abcdef");
    select(2, 4);
    dialog->Cut1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "cd");
    EXPECT_EQ(memo->toPlainText(), "abef");
    select(4, 4);
    dialog->Paste1->trigger();
    EXPECT_EQ(memo->toPlainText(), "abefcd");
    select(0, 1);
    dialog->Delete1->trigger();
    EXPECT_EQ(memo->toPlainText(), "befcd");
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "cd");
}

TEST_F(AddUrlForm, RunTimeTextsPassThroughTranslate) {
    SetTranslationTableForTests("x", {"{Edit M3U8}Bearbeiten", "{Add}Hinzu"});
    list.Ekle("http://a/0.m3u8");
    QPointer<TFormAddM3U8> dialog = OpenEditDialog(nullptr, list, 0);
    const QString title = dialog->windowTitle();
    const QString button = dialog->Button1->text();
    SetTranslationTableForTests(QString(), {});
    EXPECT_EQ(title, "Bearbeiten");
    EXPECT_EQ(button, "Hinzu");
}

} // namespace
