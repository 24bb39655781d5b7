#include "webservice/newversion.h"

#include "app/appicon.h"
#include "app/identity.h"
#include "app/translate.h"
#include "platform/mainthread.h"
#include "platform/shell.h"
#include "webservice/check.h"
#include "webservice/webconfig.h"

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <condition_variable>
#include <mutex>

namespace {

constexpr int ClientWidth = 320;
constexpr int ClientHeight = 68;
constexpr int AnimationMs = 100;
constexpr int CountdownStart = 11;

// Counts down across the whole run: at most one notification exists per run, and the
// countdown is never reset.
int CloseCountdown = CountdownStart;

QFont PixelFont(int pixels, bool bold = false, bool underline = false) {
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(pixels);
    font.setBold(bold);
    font.setUnderline(underline);
    return font;
}

QRect CentrePoint(const QRect& rect) {
    return QRect(rect.center(), QSize(1, 1));
}

} // namespace

void TimerCheckerTimer(QTimer& TimerChecker, QAction& UpdateNotifications1) {
    if (!CheckStarted) {
        CheckStarted = true;
        TChecker::StartNew(&ShowImportantMessage);
        return;
    }
    if (!CheckFinished.load(std::memory_order_acquire))
        return;
    TimerChecker.stop();
    if (PreferenceOffered) {
        UpdateNotifications1.setEnabled(true);
        if (ShowUpdate == 0)
            UpdateNotifications1.setChecked(false);
    }
    if (UpdateAvailable)
        (void)new TNewVer; // shows itself through its start timer and frees itself on close
}

void UpdateNotifications1Click(QAction& UpdateNotifications1) {
    // Only reachable once the check has finished with an accepted answer, so the store is
    // open; opening it here as well keeps a stray call harmless.
    if (!UpdateStore)
        UpdateStore = std::make_unique<TUpdateStore>();
    UpdateStore->WriteString(QStringLiteral("ShowUpdate"), UpdateNotifications1.isChecked()
                                                               ? QStringLiteral("1")
                                                               : QStringLiteral("0"));
}

void ShowImportantMessage(const QString& caption, const QString& text) {
    // Widgets live on the main thread; this thread waits there until the box has gone, while
    // the main window stays usable. A mutex and condition rather than a future, so that the
    // hand-over stays visible to ThreadSanitizer.
    struct Dismissal {
        std::mutex lock;
        std::condition_variable changed;
        bool done = false;
    };
    auto dismissal = std::make_shared<Dismissal>();
    platform::PostToMainThread([dismissal, caption, text] {
        platform::ShowMessageNonModal(platform::TMsgIcon::Warning, caption, text, [dismissal] {
            {
                std::lock_guard locked(dismissal->lock);
                dismissal->done = true;
            }
            dismissal->changed.notify_all();
        });
    });
    std::unique_lock locked(dismissal->lock);
    dismissal->changed.wait(locked, [&] { return dismissal->done; });
}

QString NotificationLinkAddress(const QString& downloadUrl) {
    const bool web = downloadUrl.startsWith(QLatin1String("http://"), Qt::CaseInsensitive) ||
                     downloadUrl.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    const QUrl url(downloadUrl);
    if (web && url.isValid() && !url.host().isEmpty())
        return downloadUrl;
    return webconfig::HomePageUrl();
}

void ResetNotificationCountdownForTests() {
    CloseCountdown = CountdownStart;
}

void TLinkLabel::mousePressEvent(QMouseEvent* event) {
    event->accept();
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
    event->accept();
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

TNewVer::TNewVer(QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setAttribute(Qt::WA_DeleteOnClose);
    // Never takes the keyboard focus from the main window.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setObjectName(QStringLiteral("NewVer"));
    resize(ClientWidth, ClientHeight);
    setFont(PixelFont(11));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);

    Panel1 = new QFrame(this);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setLineWidth(1);
    auto* whole = new QVBoxLayout(this);
    whole->setContentsMargins(0, 0, 0, 0);
    whole->addWidget(Panel1);

    auto* row = new QHBoxLayout(Panel1);
    row->setContentsMargins(1, 1, 1, 1);
    row->setSpacing(0);

    Image1 = new QLabel(Panel1);
    Image1->setFixedSize(60, 60);
    Image1->setAlignment(Qt::AlignCenter);
    row->addSpacing(3);
    row->addWidget(Image1, 0, Qt::AlignVCenter);
    row->addSpacing(3);

    Panel2 = new QFrame(Panel1);
    Panel2->setFrameStyle(QFrame::NoFrame);
    Panel2->setAttribute(Qt::WA_NoMousePropagation);
    row->addWidget(Panel2, 1);

    Panel3 = new QFrame(Panel1);
    Panel3->setFrameStyle(QFrame::NoFrame);
    Panel3->setFixedWidth(22);
    row->addWidget(Panel3);

    Button1 = new QPushButton(Panel3);
    Button1->setFixedSize(22, 22);
    Button1->setIcon(QIcon(QStringLiteral(":/webservice/close16.png")));
    Button1->setIconSize(QSize(16, 16));
    Button1->setCursor(Qt::PointingHandCursor);
    Button1->setFocusPolicy(Qt::NoFocus);
    auto* buttonColumn = new QVBoxLayout(Panel3);
    buttonColumn->setContentsMargins(0, 0, 0, 0);
    buttonColumn->addWidget(Button1);
    buttonColumn->addStretch(1);

    Label1 = new QLabel(Panel2);
    Label1->setFont(PixelFont(13, true));
    Label1->setAlignment(Qt::AlignCenter);
    Label1->setFixedHeight(16);
    Label2 = new TLinkLabel(Panel2);
    Label2->setFont(PixelFont(13, false, true));
    Label2->setAlignment(Qt::AlignCenter);
    Label2->setWordWrap(true);
    Label2->setCursor(Qt::PointingHandCursor);
    Label2->setAttribute(Qt::WA_NoMousePropagation);
    auto* texts = new QVBoxLayout(Panel2);
    texts->setContentsMargins(0, 0, 0, 0);
    texts->setSpacing(0);
    auto* heading = new QHBoxLayout;
    heading->setContentsMargins(3, 3, 3, 3);
    heading->addWidget(Label1);
    texts->addLayout(heading);
    texts->addWidget(Label2, 1);

    for (QWidget* dragHandle : {static_cast<QWidget*>(Panel1), static_cast<QWidget*>(Image1),
                                static_cast<QWidget*>(Label1), static_cast<QWidget*>(Panel3)})
        dragHandle->installEventFilter(this);

    connect(Label2, &TLinkLabel::clicked, this, &TNewVer::Label2Click);
    connect(Button1, &QPushButton::clicked, this, &TNewVer::Button1Click);

    TimerStart = new QTimer(this);
    TimerStart->setInterval(1);
    connect(TimerStart, &QTimer::timeout, this, &TNewVer::TimerStartTimer);
    TimerClose = new QTimer(this);
    TimerClose->setInterval(1000);
    connect(TimerClose, &QTimer::timeout, this, &TNewVer::TimerCloseTimer);
    TimerLink = new QTimer(this);
    TimerLink->setInterval(100);
    connect(TimerLink, &QTimer::timeout, this, &TNewVer::TimerLinkTimer);

    FormCreate();

    TimerStart->start();
    TimerClose->start();
    TimerLink->start();
}

TNewVer::~TNewVer() = default;

void TNewVer::FormCreate() {
    Image1->setPixmap(ProgramIcon().pixmap(QSize(32, 32)));
    // Measured on the whole primary screen, not its work area, whatever screens lie beside it.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->geometry();
        move(area.x() + area.width() - ClientWidth - 5, area.y() + 5);
    }
    Label1->setText(Translate(QStringLiteral("UPDATE AVAILABLE")));
    Label2->setText(Translate(QStringLiteral("Click to download")) + QLatin1Char(' ') +
                    ProductName + QLatin1Char(' ') + LatestVersion);
}

void TNewVer::TimerStartTimer() {
    TimerStart->stop();
    QWidget* previous = QApplication::activeWindow();
    const QRect full = geometry();
    setGeometry(CentrePoint(full));
    show();
    auto* grow = new QPropertyAnimation(this, "geometry", this);
    grow->setDuration(AnimationMs);
    grow->setStartValue(CentrePoint(full));
    grow->setEndValue(full);
    grow->start(QAbstractAnimation::DeleteWhenStopped);
    if (previous && previous != this)
        previous->activateWindow();
}

void TNewVer::TimerCloseTimer() {
    --CloseCountdown;
    if (CloseCountdown > 0)
        return;
    TimerClose->stop();
    CloseAnimated();
}

void TNewVer::CloseAnimated() {
    if (FClosing)
        return;
    FClosing = true;
    if (!isVisible()) {
        close();
        return;
    }
    auto* shrink = new QPropertyAnimation(this, "geometry", this);
    shrink->setDuration(AnimationMs);
    shrink->setStartValue(geometry());
    shrink->setEndValue(CentrePoint(geometry()));
    connect(shrink, &QPropertyAnimation::finished, this, [this] {
        hide();
        close();
    });
    shrink->start(QAbstractAnimation::DeleteWhenStopped);
}

void TNewVer::TimerLinkTimer() {
    const QPoint pointer = Label2->mapFromGlobal(QCursor::pos());
    const QPalette::ColorRole role =
        Label2->rect().contains(pointer) ? QPalette::Highlight : QPalette::WindowText;
    const QColor colour = QApplication::palette().color(role);
    if (Label2->palette().color(QPalette::WindowText) == colour)
        return; // unchanged: spare the label a repaint ten times a second
    QPalette palette = Label2->palette();
    palette.setColor(QPalette::WindowText, colour);
    Label2->setPalette(palette);
}

void TNewVer::Label2Click() {
    platform::ShellOpenUrl(NotificationLinkAddress(DownloadURL));
    close();
}

void TNewVer::Button1Click() {
    close();
}

bool TNewVer::eventFilter(QObject* watched, QEvent* event) {
    if (FormMouse(event))
        return true;
    return QWidget::eventFilter(watched, event);
}

void TNewVer::mousePressEvent(QMouseEvent* event) {
    FormMouse(event);
}

void TNewVer::mouseMoveEvent(QMouseEvent* event) {
    FormMouse(event);
}

void TNewVer::mouseReleaseEvent(QMouseEvent* event) {
    FormMouse(event);
}

bool TNewVer::FormMouse(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseButtonPress: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        if (mouse->button() != Qt::RightButton) {
            const QPoint at = mouse->globalPosition().toPoint();
            dx = at.x();
            dy = at.y();
            dragging = true;
        }
        return true;
    }
    case QEvent::MouseMove: {
        if (dragging) {
            const QPoint at = static_cast<QMouseEvent*>(event)->globalPosition().toPoint();
            move(x() + (at.x() - dx), y() + (at.y() - dy));
            dx = at.x();
            dy = at.y();
        }
        return true;
    }
    case QEvent::MouseButtonRelease:
        dragging = false;
        return true;
    default:
        return false;
    }
}
