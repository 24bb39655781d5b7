#include "download/addurlform.h"

#include "app/translate.h"
#include "download/downloadlist.h"
#include "platform/shell.h"

#include <QAction>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextBlock>
#include <QTextDocument>

std::int64_t EditIndex = -1;

namespace {

// A fixed single border: title bar with the system menu and the close box, no minimise or
// maximise box, not resizable.
constexpr Qt::WindowFlags DialogFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                        Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                                        Qt::MSWindowsFixedSizeDialogHint;

} // namespace

TFormAddM3U8::TFormAddM3U8(TDownloadList& list, QWidget* parent)
    : QWidget(parent, DialogFlags), FList(&list) {
    setObjectName(QStringLiteral("FormAddM3U8"));
    // However the dialog is closed (Add, Cancel, the close box), it frees itself.
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(Translate(QStringLiteral("Add M3U8")));
    QFont windowFont(QStringLiteral("Tahoma"));
    windowFont.setPixelSize(11);
    setFont(windowFont);
    setFixedSize(499, 119);

    Label1 = new QLabel(Translate(QStringLiteral("URL:")), this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(8, 11);
    Label1->adjustSize();

    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setGeometry(37, 8, 452, 73);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Tab moves on to the buttons, as in any single-purpose entry field; Enter starts a new line.
    Memo1->setTabChangesFocus(true);
    Memo1->setContextMenuPolicy(Qt::CustomContextMenu);
    Memo1->setPlainText(QString::fromLatin1(SampleAddress));

    Button1 = new QPushButton(Translate(QStringLiteral("Add")), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(37, 87, 100, 25);
    QFont boldFont = Button1->font();
    boldFont.setBold(true);
    Button1->setFont(boldFont);

    Button2 = new QPushButton(Translate(QStringLiteral("Cancel")), this);
    Button2->setObjectName(QStringLiteral("Button2"));
    Button2->setGeometry(143, 87, 100, 25);

    // Neither button reacts to Enter or Escape: Enter belongs to the editor.
    for (QPushButton* button : {Button1, Button2}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    setTabOrder(Memo1, Button1);
    setTabOrder(Button1, Button2);
    Memo1->setFocus();

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Cut1 = PopupMenu1->addAction(Translate(QStringLiteral("Cut")));
    Copy1 = PopupMenu1->addAction(Translate(QStringLiteral("Copy")));
    Paste1 = PopupMenu1->addAction(Translate(QStringLiteral("Paste")));
    Delete1 = PopupMenu1->addAction(Translate(QStringLiteral("Delete")));

    connect(Button1, &QPushButton::clicked, this, &TFormAddM3U8::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TFormAddM3U8::Button2Click);
    connect(Cut1, &QAction::triggered, this, &TFormAddM3U8::Cut1Click);
    connect(Copy1, &QAction::triggered, this, &TFormAddM3U8::Copy1Click);
    connect(Paste1, &QAction::triggered, this, &TFormAddM3U8::Paste1Click);
    connect(Delete1, &QAction::triggered, this, &TFormAddM3U8::Delete1Click);
    // A scroll area reports the menu position in its viewport's coordinates.
    connect(Memo1, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { PopupMenu1->popup(Memo1->viewport()->mapToGlobal(pos)); });
    // The edited entry is followed by position while the dialog is open.
    connect(&list, &TDownloadList::removed, this,
            [this](int first, int count) { FRules.EntriesRemoved(first, count); });

    QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen();
    if (screen)
        setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(),
                                        screen->availableGeometry()));

    FormCreate();
}

void TFormAddM3U8::TakeEditIndex() {
    if (FList)
        FRules = TAddUrlRules::FromEditIndex(*FList, EditIndex);
}

QStringList TFormAddM3U8::Lines() const {
    // Block texts are read raw: the document's plain-text export would turn no-break spaces into
    // blanks and so change an edited caption that was not touched.
    QStringList lines;
    for (QTextBlock block = Memo1->document()->begin(); block.isValid(); block = block.next())
        lines += block.text().split(QChar::LineSeparator);
    return lines;
}

void TFormAddM3U8::FormCreate() {
    const QClipboard* clipboard = QGuiApplication::clipboard();
    const QString clipboardText = clipboard ? clipboard->text() : QString();
    const QString initial =
        TAddUrlRules::InitialText(clipboardText, QString::fromLatin1(SampleAddress));
    if (initial != Memo1->toPlainText())
        Memo1->setPlainText(initial);
}

void TFormAddM3U8::Button1Click() {
    // The list may be gone when the main window is being torn down; then there is nothing to add.
    if (FList && FRules.Apply(*FList, Lines()) == TAddUrlRules::arEntryGone) {
        // The typed text stays in the editor so that it is not lost.
        platform::ShowMessage(
            this, platform::TMsgIcon::Error, Translate(QStringLiteral("Edit M3U8")),
            Translate(QStringLiteral("The entry being edited is no longer in the list.")));
        return;
    }
    close();
}

void TFormAddM3U8::Button2Click() {
    close();
}

void TFormAddM3U8::Cut1Click() {
    Memo1->cut();
}

void TFormAddM3U8::Copy1Click() {
    Memo1->copy();
}

void TFormAddM3U8::Paste1Click() {
    Memo1->paste();
}

void TFormAddM3U8::Delete1Click() {
    Memo1->textCursor().removeSelectedText();
}

TFormAddM3U8* OpenAddDialog(QWidget* parent, TDownloadList& list) {
    EditIndex = -1;
    // Owned by parent, and in any case freed by itself when it closes.
    auto* dialog = new TFormAddM3U8(list, parent);
    dialog->TakeEditIndex();
    dialog->show();
    return dialog;
}

TFormAddM3U8* OpenEditDialog(QWidget* parent, TDownloadList& list, int index) {
    if (index < 0 || index >= list.Count())
        return nullptr;
    auto* dialog = new TFormAddM3U8(list, parent);
    EditIndex = index;
    dialog->TakeEditIndex();
    dialog->setWindowTitle(Translate(QStringLiteral("Edit M3U8")));
    dialog->Memo1->setPlainText(list.Caption(index));
    dialog->show();
    return dialog;
}
