#pragma once

#include <QPointer>
#include <QTableView>

class QAction;
class QMenu;
class TDownloadList;
class TFormAddM3U8;

// The report view of the download list, ListView1 of the main window: columns "M3U8" and
// "Status", one selected row at a time, no in-place editing, and the list's popup menu. It shows
// the list and follows its announcements; the list itself holds every rule. Main thread only;
// the main window owns both; should the list go first, the view shows it empty.
class TDownloadListView : public QTableView {
    Q_OBJECT
public:
    TDownloadListView(QWidget* parent, TDownloadList& list);

    // The selected position, -1 when no row is selected.
    int ItemIndex() const;
    // Selects the row at index; -1 (or any position outside the list) clears the selection.
    void SetItemIndex(int index);

    // The popup menu's commands. Each one that needs a row does nothing when none is selected.
    void Copy1Click();
    // Returns the dialog it opened, or nullptr.
    TFormAddM3U8* Edit2Click();
    void Delete1Click();
    void DeleteAll1Click();

    QMenu* PopupMenu1 = nullptr;
    QAction* Copy1 = nullptr;
    QAction* Edit2 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* DeleteAll1 = nullptr;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QPointer<TDownloadList> FList;
    // The item view would select the next row when the selected one goes; a second "Delete"
    // must not take an entry the user never picked.
    bool FSelectedRowRemoved = false;
};
