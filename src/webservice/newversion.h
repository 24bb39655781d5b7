#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

class QAction;
class QFrame;
class QPushButton;
class QTimer;

// The main window's side of the update check. Both run on the main thread, called from the
// main window's own slots.
//
// TimerCheckerTimer: the handler of the main window's one-second TimerChecker. The first tick
// starts the check; the first tick after it has finished stops the timer, enables
// UpdateNotifications1 when the service's answer was accepted (removing its check mark when
// the stored preference is 0) and, when a different version is to be announced, creates the
// notification window, which shows and frees itself.
void TimerCheckerTimer(QTimer& TimerChecker, QAction& UpdateNotifications1);

// The handler of the checkable "Update Notifications" action's triggered signal. Qt has
// already switched the check mark when triggered arrives; this stores the mark as it now
// stands: "1" when checked, "0" when not. Takes effect at the next start.
void UpdateNotifications1Click(QAction& UpdateNotifications1);

// Shows the service's important message as a non-modal warning box on the main thread and
// returns once the user has dismissed it. Called on the checker's thread.
void ShowImportantMessage(const QString& caption, const QString& text);

// The address the notification's link opens: the download address when it is an http:// or
// https:// address, otherwise (none, a local file, a program, another scheme) the maker's home
// page. Whatever a network answer names must not reach the desktop's opener unchecked.
QString NotificationLinkAddress(const QString& downloadUrl);

// Test seam only: the close countdown back to its start value.
void ResetNotificationCountdownForTests();

// The link of the notification window: a label that reports a left click and keeps presses to
// itself, so that they never start a drag of the window.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
};

// The update notification: a borderless, always-on-top box at the primary screen's top right
// corner that grows onto the screen, closes itself on the eleventh tick of the module-wide
// countdown and frees itself when it closes. Main thread only; owns its controls and timers.
class TNewVer : public QWidget {
    Q_OBJECT
public:
    explicit TNewVer(QWidget* parent = nullptr);
    ~TNewVer() override;

    // The handlers, public so that tests can drive the timers tick by tick.
    void TimerStartTimer();
    void TimerCloseTimer();
    void TimerLinkTimer();
    void Label2Click();
    void Button1Click();

    QFrame* Panel1;
    QLabel* Image1;
    QFrame* Panel2;
    QLabel* Label1;
    TLinkLabel* Label2;
    QFrame* Panel3;
    QPushButton* Button1;
    QTimer* TimerStart;
    QTimer* TimerClose;
    QTimer* TimerLink;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void FormCreate();
    bool FormMouse(QEvent* event);
    // Plays the 100 ms shrink towards the centre, then closes.
    void CloseAnimated();

    bool dragging = false;
    int dx = 0;
    int dy = 0;
    bool FClosing = false;
};
