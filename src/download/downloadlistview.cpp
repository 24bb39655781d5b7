#include "download/downloadlistview.h"

#include "app/translate.h"
#include "download/addurlform.h"
#include "download/downloadlist.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QPointer>

namespace {

// Presents the list to the view. The list announces each change before and after it happens,
// which is exactly what an item model has to pass on to keep selections and views right.
class TDownloadListModel : public QAbstractTableModel {
public:
    TDownloadListModel(TDownloadList& list, QObject* parent)
        : QAbstractTableModel(parent), FList(&list) {
        // Should the list go first while the window is torn down, the view sees an empty list
        // instead of reading a dead one.
        connect(&list, &QObject::destroyed, this, [this] {
            beginResetModel();
            FList = nullptr;
            endResetModel();
        });
        connect(&list, &TDownloadList::aboutToAppend, this,
                [this](int first, int count) { beginInsertRows({}, first, first + count - 1); });
        connect(&list, &TDownloadList::appended, this, [this] { endInsertRows(); });
        connect(&list, &TDownloadList::aboutToRemove, this,
                [this](int first, int count) { beginRemoveRows({}, first, first + count - 1); });
        connect(&list, &TDownloadList::removed, this, [this] { endRemoveRows(); });
        connect(&list, &TDownloadList::changed, this, [this](int first, int count) {
            emit dataChanged(index(first, 0), index(first + count - 1, 1), {Qt::DisplayRole});
        });
    }

    int rowCount(const QModelIndex& parent) const override {
        return parent.isValid() || !FList ? 0 : FList->Count();
    }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 2; }

    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || !index.isValid() || !FList || index.row() >= FList->Count())
            return {};
        if (index.column() == 1)
            return FList->Status(index.row());
        // An edited caption may hold line breaks; a row shows one line, so they read as blanks.
        QString caption = FList->Caption(index.row());
        caption.replace(QLatin1Char('\r'), QLatin1Char(' '))
            .replace(QLatin1Char('\n'), QLatin1Char(' '));
        return caption;
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        return section == 0 ? Translate(QStringLiteral("M3U8"))
                            : Translate(QStringLiteral("Status"));
    }

    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
    }

private:
    QPointer<TDownloadList> FList;
};

} // namespace

TDownloadListView::TDownloadListView(QWidget* parent, TDownloadList& list)
    : QTableView(parent), FList(&list) {
    setObjectName(QStringLiteral("ListView1"));
    QFont viewFont(QStringLiteral("Tahoma"));
    viewFont.setPixelSize(13);
    setFont(viewFont);
    // Connected ahead of the model: the selection must be read before the view reacts to the
    // removal, and cleared only after it has (connections run in the order they were made).
    connect(&list, &TDownloadList::aboutToRemove, this, [this](int first, int count) {
        const int selected = ItemIndex();
        FSelectedRowRemoved = selected >= first && selected < first + count;
    });
    setModel(new TDownloadListModel(list, this));
    connect(&list, &TDownloadList::removed, this, [this] {
        if (FSelectedRowRemoved)
            selectionModel()->clearSelection();
        FSelectedRowRemoved = false;
    });

    setShowGrid(true);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setWordWrap(false);
    setSortingEnabled(false);
    setTabKeyNavigation(false);

    verticalHeader()->hide();
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    QHeaderView* header = horizontalHeader();
    // A click on a header would select a whole column; the headers are labels only.
    header->setSectionsClickable(false);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    header->resizeSection(1, 100);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Copy1 = PopupMenu1->addAction(Translate(QStringLiteral("Copy")));
    Edit2 = PopupMenu1->addAction(Translate(QStringLiteral("Edit...")));
    PopupMenu1->addSeparator();
    Delete1 = PopupMenu1->addAction(Translate(QStringLiteral("Delete")));
    DeleteAll1 = PopupMenu1->addAction(Translate(QStringLiteral("Delete All")));
    connect(Copy1, &QAction::triggered, this, &TDownloadListView::Copy1Click);
    connect(Edit2, &QAction::triggered, this, [this] { Edit2Click(); });
    connect(Delete1, &QAction::triggered, this, &TDownloadListView::Delete1Click);
    connect(DeleteAll1, &QAction::triggered, this, &TDownloadListView::DeleteAll1Click);

    setContextMenuPolicy(Qt::CustomContextMenu);
    // A scroll area reports the menu position in its viewport's coordinates.
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(viewport()->mapToGlobal(pos)); });
}

int TDownloadListView::ItemIndex() const {
    const QModelIndexList rows = selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TDownloadListView::SetItemIndex(int index) {
    if (!FList || index < 0 || index >= FList->Count()) {
        selectionModel()->clearSelection();
        return;
    }
    const QModelIndex cell = model()->index(index, 0);
    selectionModel()->setCurrentIndex(cell, QItemSelectionModel::ClearAndSelect |
                                                QItemSelectionModel::Rows);
}

void TDownloadListView::Copy1Click() {
    const int index = ItemIndex();
    if (FList && index >= 0)
        QGuiApplication::clipboard()->setText(FList->Caption(index));
}

TFormAddM3U8* TDownloadListView::Edit2Click() {
    const int index = ItemIndex();
    if (!FList || index < 0)
        return nullptr;
    return OpenEditDialog(window(), *FList, index);
}

void TDownloadListView::Delete1Click() {
    const int index = ItemIndex();
    if (FList && index >= 0)
        FList->Delete(index);
}

void TDownloadListView::DeleteAll1Click() {
    if (FList)
        FList->Clear();
}

void TDownloadListView::keyPressEvent(QKeyEvent* event) {
    // The list has no keyboard commands of its own; the item view would copy a cell on Ctrl+C.
    if (event == QKeySequence::Copy) {
        event->ignore();
        return;
    }
    QTableView::keyPressEvent(event);
}
