#include "about/about.h"

#include "app/appicon.h"
#include "app/identity.h"
#include "app/translate.h"
#include "platform/shell.h"
#include "webservice/webconfig.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

namespace {

constexpr int ClientWidth = 446;
constexpr int ClientHeight = 374;
constexpr int AnimationIntervalMs = 50;

QFont PixelFont(const QString& family, int pixels) {
    QFont font(family);
    font.setPixelSize(pixels);
    return font;
}

void SetColour(QWidget* widget, QPalette::ColorRole role, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(role, colour);
    widget->setPalette(palette);
}

// State of ShowPopupUnderButton, shared by every call in the process. Guarded pointers, so a
// button created later at the address of a destroyed one is not taken for it.
QPointer<QWidget> lastButton;
QPointer<QMenu> lastMenu;
quint32 lastTime = 0;

TPopupHooks& PopupHooks() {
    static TPopupHooks hooks;
    return hooks;
}

// A 32-bit millisecond tick from the monotonic clock; it wraps after about 49 days, so it is only
// ever compared as an unsigned difference.
quint32 TickCount() {
    if (PopupHooks().tickCount)
        return PopupHooks().tickCount();
    QElapsedTimer timer;
    timer.start();
    return quint32(timer.msecsSinceReference());
}

} // namespace

TPopupHooks SetPopupHooksForTests(TPopupHooks hooks) {
    std::swap(PopupHooks(), hooks);
    return hooks;
}

void ShowPopupUnderButton(QWidget* Button, QMenu* Menu) {
    if (Button == lastButton && Menu == lastMenu &&
        quint32(TickCount() - lastTime) < quint32(100)) {
        lastButton = nullptr;
        lastMenu = nullptr;
        return;
    }
    const QPoint at = Button->mapToGlobal(QPoint(0, Button->height()));
    const QPointer<QWidget> button(Button);
    const QPointer<QMenu> menu(Menu);
    if (PopupHooks().popup)
        PopupHooks().popup(Menu, at);
    else
        Menu->exec(at);
    lastTime = TickCount();
    lastButton = button;
    lastMenu = menu;
}

void ShowLicenseFile(QWidget* owner, const QString& folder) {
    const QString path = QDir(folder).filePath(QStringLiteral("license.txt"));
    if (QFileInfo(path).isFile()) {
        platform::ShellOpenTextFile(path);
        return;
    }
    platform::ShowMessage(owner, platform::TMsgIcon::Error, Translate(QStringLiteral("License")),
                          Translate(QStringLiteral("File not found!")));
}

void ShowAboutBox(QWidget* parent) {
    // exec() deletes a box that frees itself on close only after its loop has returned.
    auto* box = new TAboutBox(parent);
    box->exec();
}

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setObjectName(QStringLiteral("AboutBox"));
    setAttribute(Qt::WA_DeleteOnClose);
    // The rain paints only the cells it changes; the toolkit must not clear the rest first.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFixedSize(ClientWidth, ClientHeight);
    SetColour(this, QPalette::Window, Qt::black);
    setFont(PixelFont(QStringLiteral("Tahoma"), 11));

    Panel1 = new QFrame(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(48, 42, 350, 291);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    Panel1->setAutoFillBackground(true);
    SetColour(Panel1, QPalette::Window, Qt::black);
    SetColour(Panel1, QPalette::WindowText, Qt::white);
    Panel1->setFont(PixelFont(QStringLiteral("Tahoma"), 11));

    // Inside the 1-pixel bevel, with margins of 2 left and right and 3 at the top.
    Image2 = new QLabel(Panel1);
    Image2->setObjectName(QStringLiteral("Image2"));
    Image2->setGeometry(3, 4, 344, 105);
    Image2->setScaledContents(true);
    Image2->setPixmap(QPixmap(QStringLiteral(":/about/logo.png")));

    Bevel1 = new QFrame(Panel1);
    Bevel1->setObjectName(QStringLiteral("Bevel1"));
    Bevel1->setGeometry(9, 122, 34, 34);
    Bevel1->setFrameStyle(QFrame::Box | QFrame::Sunken);
    Bevel1->setLineWidth(1);

    Image1 = new QLabel(Panel1);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setGeometry(10, 123, 32, 32);
    Image1->setAlignment(Qt::AlignCenter);

    Label2 = new QLabel(Panel1);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(49, 122, 290, 40);
    Label2->setWordWrap(true);
    Label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label2->setFont(PixelFont(QStringLiteral("Tahoma"), 16));
    SetColour(Label2, QPalette::WindowText, Qt::white);

    // Both faces are set with the texts: black text on a light face and white text on a dark
    // one stay readable whatever the desktop's own button colours are.
    BitBtn1 = new QPushButton(Panel1);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(49, 224, 122, 33);
    BitBtn1->setFont(PixelFont(QStringLiteral("Tahoma"), 16));
    SetColour(BitBtn1, QPalette::ButtonText, Qt::black);
    SetColour(BitBtn1, QPalette::Button, QColor(225, 225, 225));

    BitBtn2 = new QPushButton(Panel1);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(177, 224, 122, 33);
    BitBtn2->setFont(PixelFont(QStringLiteral("Tahoma"), 16));
    SetColour(BitBtn2, QPalette::ButtonText, Qt::white);
    SetColour(BitBtn2, QPalette::Button, QColor(48, 48, 48));
    BitBtn2->setIcon(QIcon(QStringLiteral(":/about/dropdown.png")));
    BitBtn2->setIconSize(QSize(16, 16));
    // Right to left puts the triangle after the caption.
    BitBtn2->setLayoutDirection(Qt::RightToLeft);

    setTabOrder(BitBtn1, BitBtn2);
    BitBtn1->setFocus();

    Label5 = new QLabel(Panel1);
    Label5->setObjectName(QStringLiteral("Label5"));
    QFont linkFont = PixelFont(QStringLiteral("MS Sans Serif"), 11);
    linkFont.setUnderline(true);
    Label5->setFont(linkFont);
    SetColour(Label5, QPalette::WindowText, QColor(0, 255, 0));
    Label5->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label5->setCursor(Qt::PointingHandCursor);
    Label5->setText(webconfig::Host());
    Label5->setToolTip(webconfig::HomePageUrl());
    // Along the bottom of the panel, inside its bevel, with margins of 3.
    const int linkHeight = QFontMetrics(linkFont).height();
    Label5->setGeometry(4, 291 - 1 - 3 - linkHeight, 350 - 2 - 6, linkHeight);

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    Credits1 = PopupMenu1->addAction(QString());
    Credits1->setObjectName(QStringLiteral("Credits1"));
    Howtouninstall1 = PopupMenu1->addAction(QString());
    Howtouninstall1->setObjectName(QStringLiteral("Howtouninstall1"));
    LicensePrivacyPolicy1 = PopupMenu1->addAction(QString());
    LicensePrivacyPolicy1->setObjectName(QStringLiteral("LicensePrivacyPolicy1"));

    tmTimer = new QTimer(this);
    tmTimer->setObjectName(QStringLiteral("tmTimer"));

    for (QWidget* surface : {static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Image1),
                             static_cast<QWidget*>(Label2), static_cast<QWidget*>(Image2)})
        surface->installEventFilter(this);
    BitBtn1->installEventFilter(this);
    BitBtn2->installEventFilter(this);
    Label5->installEventFilter(this);

    connect(BitBtn1, &QPushButton::clicked, this, &TAboutBox::BitBtn1Click);
    connect(BitBtn2, &QPushButton::clicked, this, &TAboutBox::BitBtn2Click);
    connect(Credits1, &QAction::triggered, this, &TAboutBox::Credits1Click);
    connect(Howtouninstall1, &QAction::triggered, this, &TAboutBox::Howtouninstall1Click);
    connect(LicensePrivacyPolicy1, &QAction::triggered, this,
            &TAboutBox::LicensePrivacyPolicy1Click);
    connect(tmTimer, &QTimer::timeout, this, &TAboutBox::tmTimerTimer);

    if (QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));

    FormCreate();
}

void TAboutBox::FormCreate() {
    rain::rainAlphabet = QStringLiteral("qen");
    InitMatrix();
    setWindowTitle(Translate(QStringLiteral("About")) + QLatin1Char(' ') + ProductName);
    Image1->setPixmap(ProgramIcon().pixmap(32, 32));
    Label2->setText(ProductName + QLatin1Char(' ') + VersionText);
    BitBtn1->setText(Translate(QStringLiteral("OK")));
    BitBtn2->setText(Translate(QStringLiteral("Info")));
    Credits1->setText(Translate(QStringLiteral("Credits...")));
    Howtouninstall1->setText(Translate(QStringLiteral("How to uninstall...")));
    LicensePrivacyPolicy1->setText(Translate(QStringLiteral("License...")));
}

// --- Rain --------------------------------------------------------------------------------------

void TAboutBox::InitMatrix() {
    FCanvas.SetSurfaceSize(size());
    // Before the window is first shown Qt knows no frame, and the outer size is the client size.
    FRain.InitMatrix(&FCanvas, frameGeometry().size());
    RequestRainRepaint();
    tmTimer->start(AnimationIntervalMs);
}

void TAboutBox::FormResize() {
    FCanvas.SetSurfaceSize(size());
    FRain.SetupMatrix(frameGeometry().size());
    RequestRainRepaint();
}

void TAboutBox::tmTimerTimer() {
    FRain.UpdateMatrix();
    RequestRainRepaint();
}

void TAboutBox::RequestRainRepaint() {
    if (!isVisible()) {
        // Nothing is painted while hidden; showing the window paints it all black anyway.
        FCanvas.Discard();
        FCanvas.TakeFullRepaint();
        FRequested = QRegion();
        return;
    }
    if (FCanvas.TakeFullRepaint()) {
        FCanvas.TakeDirtyRegion();
        FFullRepaint = true;
        FRequested = QRegion();
        update();
        return;
    }
    // The panel stands in front of the rain, which has nothing to show under it; leaving those
    // cells out keeps the request (and the bounding box of a large one) off the panel.
    const QRegion dirty = FCanvas.TakeDirtyRegion() - Panel1->geometry();
    if (dirty.isEmpty())
        return;
    FRequested += dirty;
    update(dirty);
}

void TAboutBox::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    // Whatever the rain did not ask for is an exposure: it turns black, and the rain draws
    // itself back over the following steps.
    const QRegion exposed = FFullRepaint ? event->region() : event->region() - FRequested;
    for (const QRect& rect : exposed)
        painter.fillRect(rect, Qt::black);
    FCanvas.Paint(painter);
    FRequested = QRegion();
    FFullRepaint = false;
}

void TAboutBox::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    FormResize();
}

// --- Dragging ----------------------------------------------------------------------------------

void TAboutBox::FormMouseDown(QMouseEvent* event) {
    if (event->button() == Qt::RightButton)
        return;
    const QPoint at = event->globalPosition().toPoint();
    dx = at.x();
    dy = at.y();
    dragging = true;
}

void TAboutBox::FormMouseMove(QMouseEvent* event) {
    if (!dragging)
        return;
    const QPoint at = event->globalPosition().toPoint();
    const int left = pos().x() + at.x() - dx;
    const int top = pos().y() + at.y() - dy;
    dx = at.x();
    dy = at.y();
    move(left, top);
}

void TAboutBox::FormMouseUp(QMouseEvent*) {
    dragging = false;
}

void TAboutBox::mousePressEvent(QMouseEvent* event) {
    FormMouseDown(event);
}

void TAboutBox::mouseMoveEvent(QMouseEvent* event) {
    FormMouseMove(event);
}

void TAboutBox::mouseReleaseEvent(QMouseEvent* event) {
    FormMouseUp(event);
}

bool TAboutBox::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == Label5) {
        // The link is no drag surface: it keeps its presses to itself, so they do not reach the
        // panel behind it, and a left click opens the page.
        if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            FLinkPressed = type == QEvent::MouseButtonPress && mouse->button() == Qt::LeftButton;
            return true;
        }
        if (type == QEvent::MouseButtonRelease) {
            auto* mouse = static_cast<QMouseEvent*>(event);
            const bool click = FLinkPressed && mouse->button() == Qt::LeftButton &&
                               Label5->rect().contains(mouse->position().toPoint());
            FLinkPressed = false;
            if (click)
                Label5Click();
            return true;
        }
        return QDialog::eventFilter(watched, event);
    }
    if (watched == BitBtn1 || watched == BitBtn2) {
        if (type == QEvent::KeyPress && static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
            close();
            return true;
        }
        return QDialog::eventFilter(watched, event);
    }
    // The drag surfaces: Panel1, Image1, Label2 and Image2.
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
        FormMouseDown(static_cast<QMouseEvent*>(event));
        return true;
    case QEvent::MouseMove:
        FormMouseMove(static_cast<QMouseEvent*>(event));
        return true;
    case QEvent::MouseButtonRelease:
        FormMouseUp(static_cast<QMouseEvent*>(event));
        return true;
    default:
        return QDialog::eventFilter(watched, event);
    }
}

// --- Commands ----------------------------------------------------------------------------------

void TAboutBox::BitBtn1Click() {
    accept();
}

void TAboutBox::BitBtn2Click() {
    ShowPopupUnderButton(BitBtn2, PopupMenu1);
}

void TAboutBox::Label5Click() {
    platform::ShellOpenUrl(webconfig::HomePageUrl());
}

void TAboutBox::Credits1Click() {
    platform::ShellOpenUrl(webconfig::CreditsPageUrl());
}

void TAboutBox::Howtouninstall1Click() {
    platform::ShellOpenUrl(webconfig::UninstallPageUrl());
}

void TAboutBox::LicensePrivacyPolicy1Click() {
    ShowLicenseFile(this, QCoreApplication::applicationDirPath());
}
