#pragma once

#include "download/addurlrules.h"

#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <cstdint>

class QAction;
class QLabel;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class TDownloadList;

// -1 while the dialogs open in add mode, else the position of the entry being edited. The
// opening commands set it; each dialog takes it over when it is opened.
extern std::int64_t EditIndex;

// The first line of a new dialog's editor when the clipboard holds no address.
inline constexpr const char* SampleAddress = "https://example.com/video.m3u8";

// The modeless dialog that adds addresses to the download list or edits one entry. Every opening
// creates a new one; it deletes itself when it closes, however it is closed. It lives on the
// main thread; the main window owns the list it writes to.
class TFormAddM3U8 : public QWidget {
    Q_OBJECT
public:
    // Builds the window and runs FormCreate. The dialog starts in add mode.
    explicit TFormAddM3U8(TDownloadList& list, QWidget* parent = nullptr);

    // Fixes this dialog's mode from EditIndex as the opening command left it.
    void TakeEditIndex();
    const TAddUrlRules& Rules() const { return FRules; }

    // The editor's lines. A soft line break (Shift+Enter) also starts a new line.
    QStringList Lines() const;

    void FormCreate();
    void Button1Click();
    void Button2Click();
    void Cut1Click();
    void Copy1Click();
    void Paste1Click();
    void Delete1Click();

    QLabel* Label1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QPushButton* Button1 = nullptr;
    QPushButton* Button2 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Cut1 = nullptr;
    QAction* Copy1 = nullptr;
    QAction* Paste1 = nullptr;
    QAction* Delete1 = nullptr;

private:
    QPointer<TDownloadList> FList;
    TAddUrlRules FRules;
};

// The add commands ("Add M3U8", "Add File..."): EditIndex := -1, then a new dialog, shown without
// waiting. parent is the main window, which the dialog stays above.
TFormAddM3U8* OpenAddDialog(QWidget* parent, TDownloadList& list);
// "Edit...": a new dialog in edit mode for the entry at index, its caption in the editor, shown
// without waiting. Returns nullptr and opens nothing when index names no entry.
TFormAddM3U8* OpenEditDialog(QWidget* parent, TDownloadList& list, int index);
