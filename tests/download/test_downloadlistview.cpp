#include "download/downloadlistview.h"

#include "download/addurlform.h"
#include "download/downloadlist.h"

#include "qtprint.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>

namespace {

class DownloadListView : public ::testing::Test {
protected:
    void SetUp() override {
        window.resize(627, 300);
        view = new TDownloadListView(&window, list);
        view->setGeometry(0, 0, 627, 300);
        // Checks the adapter against Qt's model rules on every change; a breach aborts.
        tester = std::make_unique<QAbstractItemModelTester>(
            view->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
        window.show();
        for (const char* caption : {"http://a/0.m3u8", "http://a/1.m3u8", "http://a/2.m3u8"})
            list.Ekle(caption);
        QGuiApplication::clipboard()->setText("untouched");
    }
    void TearDown() override {
        // Collected first: a dialog takes its own popup menu, also a top-level widget, with it.
        QList<QPointer<TFormAddM3U8>> dialogs;
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<TFormAddM3U8*>(widget))
                dialogs << dialog;
        }
        qDeleteAll(dialogs);
    }
    QString Cell(int row, int column) const {
        return view->model()->index(row, column).data().toString();
    }

    TDownloadList list;
    QWidget window;
    TDownloadListView* view = nullptr;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

TEST_F(DownloadListView, ShowsTwoColumnsOneSelectableRowAtATime) {
    EXPECT_EQ(view->objectName(), "ListView1");
    QAbstractItemModel* model = view->model();
    ASSERT_EQ(model->columnCount(), 2);
    EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "M3U8");
    EXPECT_EQ(model->headerData(1, Qt::Horizontal).toString(), "Status");
    EXPECT_EQ(view->horizontalHeader()->sectionSize(1), 100);
    EXPECT_EQ(view->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
    EXPECT_EQ(view->horizontalHeader()->sectionSize(0) + 100, view->viewport()->width());
    EXPECT_TRUE(view->showGrid());
    EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(view->editTriggers(), QAbstractItemView::NoEditTriggers);
    EXPECT_FALSE(model->flags(model->index(0, 0)) & Qt::ItemIsEditable);
    EXPECT_EQ(view->font().pixelSize(), 13);
    EXPECT_EQ(view->font().family(), "Tahoma");

    QStringList items;
    for (QAction* action : view->PopupMenu1->actions()) {
        items << (action->isSeparator() ? QStringLiteral("-") : action->text());
        EXPECT_TRUE(action->isEnabled());
    }
    EXPECT_EQ(items, (QStringList{"Copy", "Edit...", "-", "Delete", "Delete All"}));

    view->SetItemIndex(0);
    view->SetItemIndex(2);
    EXPECT_EQ(view->selectionModel()->selectedRows().size(), 1);
    EXPECT_EQ(view->ItemIndex(), 2);
    view->SetItemIndex(-1);
    EXPECT_EQ(view->ItemIndex(), -1);
}

TEST_F(DownloadListView, FollowsTheList) {
    list.SetStatus(1, "Downloading...");
    list.SetCaption(2, "http://a/x.m3u8\r\nsecond");
    ASSERT_EQ(view->model()->rowCount(), 3);
    EXPECT_EQ(Cell(1, 1), "Downloading...");
    EXPECT_EQ(Cell(2, 0), "http://a/x.m3u8  second");
    view->SetItemIndex(2);
    list.Delete(0);
    ASSERT_EQ(view->model()->rowCount(), 2);
    EXPECT_EQ(Cell(0, 0), "http://a/1.m3u8");
    EXPECT_EQ(view->ItemIndex(), 1);
    list.Ekle("http://a/3.m3u8");
    EXPECT_EQ(Cell(2, 0), "http://a/3.m3u8");
    list.ClearStatuses();
    EXPECT_EQ(Cell(0, 1), QString());
}

TEST_F(DownloadListView, CommandsNeedingARowDoNothingWithoutOne) {
    view->SetItemIndex(-1);
    view->Copy1->trigger();
    EXPECT_EQ(view->Edit2Click(), nullptr);
    view->Edit2->trigger();
    view->Delete1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "untouched");
    EXPECT_EQ(list.Count(), 3);
    for (QWidget* widget : QApplication::topLevelWidgets())
        EXPECT_EQ(qobject_cast<TFormAddM3U8*>(widget), nullptr);
}

TEST_F(DownloadListView, CommandsActOnTheSelectedRow) {
    list.SetCaption(1, "http://a/1.m3u8\r\nwith a second line");
    view->SetItemIndex(1);
    view->Copy1->trigger();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "http://a/1.m3u8\r\nwith a second line");

    QPointer<TFormAddM3U8> dialog = view->Edit2Click();
    ASSERT_TRUE(dialog);
    EXPECT_EQ(EditIndex, 1);
    EXPECT_EQ(dialog->windowTitle(), "Edit M3U8");
    EXPECT_EQ(dialog->parentWidget(), &window);
    EXPECT_EQ(dialog->Lines(), (QStringList{"http://a/1.m3u8", "with a second line"}));
    EXPECT_TRUE(dialog->Rules().IsEditMode());

    view->Delete1->trigger();
    EXPECT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Caption(1), "http://a/2.m3u8");
    EXPECT_EQ(view->ItemIndex(), -1);

    view->DeleteAll1->trigger();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(view->model()->rowCount(), 0);
    view->DeleteAll1->trigger();
    EXPECT_EQ(list.Count(), 0);
}

TEST_F(DownloadListView, HasNoKeyboardCommands) {
    view->SetItemIndex(0);
    for (const QKeySequence::StandardKey key : {QKeySequence::Copy, QKeySequence::Delete}) {
        const QKeyCombination combination = QKeySequence(key)[0];
        QKeyEvent press(QEvent::KeyPress, combination.key(), combination.keyboardModifiers());
        QApplication::sendEvent(view, &press);
    }
    EXPECT_EQ(QGuiApplication::clipboard()->text(), "untouched");
    EXPECT_EQ(list.Count(), 3);
}

} // namespace

namespace {

TEST(DownloadListViewTeardown, ListGoingFirstLeavesAnEmptyView) {
    auto list = std::make_unique<TDownloadList>();
    list->Ekle("http://a/0.m3u8");
    QWidget window;
    auto* view = new TDownloadListView(&window, *list);
    QAbstractItemModelTester tester(view->model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    window.show();
    view->SetItemIndex(0);
    list.reset();
    EXPECT_EQ(view->model()->rowCount(), 0);
    EXPECT_EQ(view->ItemIndex(), -1);
    EXPECT_EQ(view->Edit2Click(), nullptr);
    view->Delete1Click();
    view->DeleteAll1Click();
}

} // namespace
