#include "app/main.h"

#include "about/about.h"
#include "app/droppednames.h"
#include "app/identity.h"
#include "app/settings.h"
#include "app/versioninfo.h"
#include "doscommand/doscommand.h"
#include "download/addurlform.h"
#include "download/downloadlist.h"
#include "download/downloadlistview.h"
#include "platform/errorreport.h"
#include "platform/shell.h"
#include "platform/versionresource.h"
#include "webservice/feedback.h"
#include "webservice/newversion.h"
#include "webservice/webconfig.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

QFont TahomaFont(int pixelSize, bool bold = false) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

// The folder last picked with the folder button during this run; not the field's text.
QString LastFolder;

QIcon Picture(const char* name) {
    return QIcon(QStringLiteral(":/app/%1.png").arg(QLatin1String(name)));
}

} // namespace

TAppForm::TAppForm(QWidget* parent)
    : QMainWindow(parent), FList(std::make_unique<TDownloadList>()),
      FDosCommand1(std::make_unique<TDosCommand>()) {
    setFont(TahomaFont(11));
    // The runner's start failures end in a box captioned with the program's file name.
    TDosCommand::SetShowErrorHook([](const QString& caption, const QString& text) {
        platform::ShowMessage(nullptr, platform::TMsgIcon::Error, caption, text);
    });
    CreateControls();
    CreateMenus();
    FQueue =
        std::make_unique<TDownloadQueue>(*FList, *FDosCommand1, static_cast<TQueueView&>(*this));
    connect(Button1, &QToolButton::clicked, this, [this] { FQueue->Button1Click(); });
    FormCreate();
}

TAppForm::~TAppForm() {
    // The queue lets go of the runner's events and asks a running converter to stop; the
    // runner's destructor then waits for the converter, so nothing writes files once the window
    // has gone.
    FQueue.reset();
    FDosCommand1.reset();
    // Members go before the base class deletes the child widgets, and the list view and any open
    // dialog still point at the list: take the windows down first.
    qDeleteAll(findChildren<QWidget*>(Qt::FindDirectChildrenOnly));
}

void TAppForm::CreateControls() {
    ToolBar1 = new QToolBar(this);
    ToolBar1->setObjectName(QStringLiteral("ToolBar1"));
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    ToolBar1->setIconSize(QSize(64, 64));
    ToolBar1->setContextMenuPolicy(Qt::PreventContextMenu);
    ToolBar1->setFixedHeight(70);
    ToolBar1->layout()->setContentsMargins(0, 0, 0, 0);
    ToolBar1->layout()->setSpacing(0);
    addToolBar(Qt::TopToolBarArea, ToolBar1);

    const auto makeButton = [this](const QString& caption, const char* picture,
                                   const QString& hint) {
        auto* button = new QToolButton(ToolBar1);
        button->setText(caption);
        button->setIcon(Picture(picture));
        button->setIconSize(QSize(64, 64));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        button->setFixedSize(139, 70);
        button->setAutoRaise(true);
        button->setToolTip(hint);
        ToolBar1->addWidget(button);
        return button;
    };
    ToolButton3 =
        makeButton(QStringLiteral("Add M3U8"), "file", QStringLiteral("Add Files to the list"));
    Button1 = makeButton(QStringLiteral("Download"), "download", QString());
    ToolButton1 = makeButton(QStringLiteral("Feedback"), "feedback64", QString());
    ToolButton7 = makeButton(QStringLiteral("About"), "about64", QStringLiteral("Show Aboutbox"));
    connect(ToolButton3, &QToolButton::clicked, this, &TAppForm::ToolButton3Click);
    connect(ToolButton1, &QToolButton::clicked, this, &TAppForm::ToolButton1Click);
    connect(ToolButton7, &QToolButton::clicked, this, &TAppForm::ToolButton7Click);

    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(0, 0, 0, 0);
    centralLayout->setSpacing(0);

    // The splitter divides the list (with the destination panel) from the log below it; with
    // the log hidden, the splitter's handle is hidden too.
    Splitter1 = new QSplitter(Qt::Vertical, central);
    Splitter1->setObjectName(QStringLiteral("Splitter1"));
    Splitter1->setHandleWidth(5);
    Splitter1->setOpaqueResize(true);
    Splitter1->setChildrenCollapsible(false);

    auto* upper = new QWidget(Splitter1);
    auto* upperLayout = new QVBoxLayout(upper);
    upperLayout->setContentsMargins(0, 0, 0, 0);
    upperLayout->setSpacing(0);

    Panel3 = new QWidget(upper);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    auto* panel3Layout = new QVBoxLayout(Panel3);
    panel3Layout->setContentsMargins(0, 0, 0, 0);
    ListView1 = new TDownloadListView(Panel3, *FList);
    ListView1->setObjectName(QStringLiteral("ListView1"));
    panel3Layout->addWidget(ListView1);
    upperLayout->addWidget(Panel3, 1);

    Panel4 = new QWidget(upper);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Panel4->setFixedHeight(49);
    auto* panel4Layout = new QVBoxLayout(Panel4);
    panel4Layout->setContentsMargins(3, 2, 3, 2);
    panel4Layout->setSpacing(2);
    Label2 = new QLabel(QStringLiteral("Destination:"), Panel4);
    panel4Layout->addWidget(Label2);
    auto* destinationRow = new QHBoxLayout;
    destinationRow->setSpacing(2);
    SpeedButton1 = new QToolButton(Panel4);
    SpeedButton1->setFixedSize(23, 24);
    SpeedButton1->setIcon(Picture("folder"));
    SpeedButton1->setIconSize(QSize(16, 16));
    SpeedButton1->setAutoRaise(true);
    SpeedButton1->setToolTip(QStringLiteral("Change Destination Folder"));
    Edit1 = new QLineEdit(Panel4);
    Edit1->setFont(TahomaFont(15));
    destinationRow->addWidget(SpeedButton1);
    destinationRow->addWidget(Edit1, 1);
    panel4Layout->addLayout(destinationRow);
    upperLayout->addWidget(Panel4);
    connect(Edit1, &QLineEdit::textChanged, this, &TAppForm::Edit1Change);
    connect(SpeedButton1, &QToolButton::clicked, this, &TAppForm::SpeedButton1Click);

    Memo1Box = new QWidget(Splitter1);
    auto* memoLayout = new QVBoxLayout(Memo1Box);
    memoLayout->setContentsMargins(3, 3, 3, 3);
    Memo1 = new QPlainTextEdit(Memo1Box);
    Memo1->setObjectName(QStringLiteral("Memo1"));
    Memo1->setReadOnly(true);
    Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
    Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    memoLayout->addWidget(Memo1);
    Splitter1->addWidget(upper);
    Splitter1->addWidget(Memo1Box);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({1000, 115 + 6});
    Memo1Box->hide();
    centralLayout->addWidget(Splitter1, 1);

    auto* progressBox = new QWidget(central);
    auto* progressLayout = new QVBoxLayout(progressBox);
    progressLayout->setContentsMargins(3, 0, 3, 3);
    ProgressBar1 = new QProgressBar(progressBox);
    ProgressBar1->setFixedHeight(17);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    progressLayout->addWidget(ProgressBar1);
    centralLayout->addWidget(progressBox);

    setCentralWidget(central);
    statusBar()->setFixedHeight(19);

    TimerChecker = new QTimer(this);
    TimerChecker->setInterval(1000);
    connect(TimerChecker, &QTimer::timeout, this,
            [this] { TimerCheckerTimer(*TimerChecker, *UpdateNotifications1); });
    TimerChecker->start();
}

void TAppForm::CreateMenus() {
    QMenu* file = menuBar()->addMenu(QStringLiteral("File"));
    AddFile1 = file->addAction(QStringLiteral("Add File..."));
    file->addSeparator();
    Exit1 = file->addAction(Picture("exit"), QStringLiteral("Exit"));

    QMenu* help = menuBar()->addMenu(QStringLiteral("Help"));
    Help2 = help->addAction(Picture("help"), QStringLiteral("Online Help"));
    Help2->setShortcut(QKeySequence(Qt::Key_F1));
    help->addSeparator();
    UpdateNotifications1 = help->addAction(QStringLiteral("Update Notifications"));
    UpdateNotifications1->setCheckable(true);
    UpdateNotifications1->setChecked(true);
    UpdateNotifications1->setEnabled(false);
    UpdateNotificationsBar = help->addSeparator();
    UpdateNotificationsBar->setVisible(false);
    SendFeedback1 = help->addAction(Picture("feedback"), QStringLiteral("Send Feedback..."));
    About1 = help->addAction(Picture("about"), QStringLiteral("About..."));

    connect(AddFile1, &QAction::triggered, this, &TAppForm::AddFile1Click);
    connect(Exit1, &QAction::triggered, this, &TAppForm::Exit1Click);
    connect(Help2, &QAction::triggered, this, &TAppForm::Help2Click);
    connect(SendFeedback1, &QAction::triggered, this, &TAppForm::SendFeedback1Click);
    connect(About1, &QAction::triggered, this, &TAppForm::About1Click);
    connect(UpdateNotifications1, &QAction::triggered, this, [this] {
        // A store that can't be written is reported like any other failed write; the
        // error must not unwind through the action's signal.
        try {
            UpdateNotifications1Click(*UpdateNotifications1);
        } catch (...) {
            platform::ReportCurrentException();
        }
    });
}

void TAppForm::FormCreate() {
    setAcceptDrops(true);

    // The client area is 627 x 452 below the menu bar, centred on the screen.
    resize(627, 452 + menuBar()->sizeHint().height());
    if (const QScreen* screen = QApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }

    try {
        const QString exe = QCoreApplication::applicationFilePath();
        TEXEVersionData data;
        GetEXEVersionData(exe, data);
        CompanyName = data.CompanyName;
        ProductName = data.ProductName;
        const quint32 version = platform::GetFileVersion(exe);
        VersionText = QStringLiteral("%1.%2").arg(version >> 16).arg(version & 0xFFFF);
    } catch (...) {
        platform::ReportCurrentException();
        // Without its own version record the program still needs a name for its caption and
        // its settings folder; the ones the build stamped keep the user's settings where they
        // always are.
        CompanyName = QStringLiteral(VELMORA_COMPANY_NAME);
        ProductName = QStringLiteral(VELMORA_PRODUCT_NAME);
        VersionText = QStringLiteral(VELMORA_VERSION_TEXT);
    }
    CaptionText = CompanyName + QStringLiteral(" - ") + ProductName;
    setWindowTitle(CaptionText);

    const QString folder =
        ChooseSettingsFolder(QCoreApplication::applicationDirPath(), CompanyName, ProductName);
    FSettingsIni = std::make_unique<TSettingsIni>(folder + QStringLiteral("settings.ini"));
    // Filling the field is a change like any other: it writes the value straight back.
    Edit1->setText(FSettingsIni->ReadString(QStringLiteral("Settings"),
                                            QStringLiteral("Destination"), GetShellFolderPath(0)));
    if (Edit1->text().isEmpty())
        Edit1Change(); // setText of an unchanged (empty) text emits nothing
}

void TAppForm::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TAppForm::FormShow() {
    // The status bar is QMainWindow's own bottom strip, below every other control already.
}

void TAppForm::Ekle(const QString& isim) {
    FList->Ekle(isim);
}

void TAppForm::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void TAppForm::dropEvent(QDropEvent* event) {
    WMDropFiles(event->mimeData()->urls());
    event->acceptProposedAction();
}

void TAppForm::WMDropFiles(const QList<QUrl>& names) {
    for (const QUrl& url : names) {
        // A name that can't be handled is skipped; the rest still count.
        try {
            if (!url.isLocalFile())
                continue;
            const QString path = url.toLocalFile();
            if (IsDroppedPlaylist(path))
                Ekle(path);
        } catch (...) {
        }
    }
}

void TAppForm::Help2Click() {
    platform::ShellOpenUrl(webconfig::HelpPageUrl(ProductName));
}

void TAppForm::Exit1Click() {
    QApplication::quit();
}

void TAppForm::AddFile1Click() {
    ToolButton3->click();
}

void TAppForm::ToolButton3Click() {
    OpenAddDialog(this, *FList);
}

void TAppForm::ToolButton1Click() {
    ShowFeedbackForm(this);
}

void TAppForm::SendFeedback1Click() {
    ToolButton1Click();
}

void TAppForm::ToolButton7Click() {
    ShowAboutBox(this);
}

void TAppForm::About1Click() {
    ToolButton7Click();
}

void TAppForm::Edit1Change() {
    if (!FSettingsIni)
        return;
    // A failed write is reported on every change and the field keeps its text; the error must
    // not unwind through the line edit's signal.
    try {
        FSettingsIni->WriteString(QStringLiteral("Settings"), QStringLiteral("Destination"),
                                  Edit1->text());
    } catch (...) {
        platform::ReportCurrentException();
    }
}

void TAppForm::SpeedButton1Click() {
    // Qt's own dialog: the platform's native pickers can't be asked for several folders.
    QFileDialog dialog(this, QStringLiteral("Select folder:"));
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, QStringLiteral("Select"));
    for (auto* view : dialog.findChildren<QAbstractItemView*>())
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    if (!LastFolder.isEmpty()) {
        dialog.setDirectory(LastFolder);
        dialog.selectFile(LastFolder);
    }
    if (dialog.exec() != QDialog::Accepted)
        return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return;
    LastFolder = QDir::toNativeSeparators(chosen.first());
    Edit1->setText(LastFolder);
}

QString TAppForm::LastPickedFolder() {
    return LastFolder;
}

QString TAppForm::Destination() {
    return Edit1->text();
}

void TAppForm::SetRunningLook(bool running) {
    Button1->setText(running ? QStringLiteral("STOP") : QStringLiteral("Download"));
    Button1->setIcon(Picture(running ? "stop" : "download"));
    // A range of 0..0 is Qt's marquee.
    ProgressBar1->setRange(0, running ? 0 : 100);
    ProgressBar1->setValue(0);
}

void TAppForm::SetButtonEnabled(bool enabled) {
    Button1->setEnabled(enabled);
}

void TAppForm::ClearLog() {
    Memo1->clear();
}

void TAppForm::AppendLog(const QString& line) {
    Memo1->appendPlainText(line);
}

void TAppForm::ShowLog() {
    Memo1Box->show();
    Splitter1->handle(1)->show();
}

void TAppForm::ProcessMessages() {
    QCoreApplication::processEvents();
}

void TAppForm::Beep() {
    platform::MessageBeep();
}
