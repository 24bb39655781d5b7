#pragma once

#include "about/rain.h"

#include <QDialog>
#include <QPoint>
#include <QRegion>

#include <functional>

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;

// The about box: the program's icon, name and version on a panel in front of the rain, a link
// to the maker's site and an "Info" menu. Main thread only; the box frees itself when it closes.
class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* parent = nullptr);

    QFrame* Panel1 = nullptr;
    QLabel* Image2 = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* Label2 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QLabel* Label5 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction* Credits1 = nullptr;
    QAction* Howtouninstall1 = nullptr;
    QAction* LicensePrivacyPolicy1 = nullptr;
    QTimer* tmTimer = nullptr;

    // The rain's rules; the window only paints what they draw.
    const TRain& Rain() const { return FRain; }
    TRain& Rain() { return FRain; }
    // One animation step, as the timer runs it.
    void tmTimerTimer();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void FormCreate();
    void FormMouseDown(QMouseEvent* event);
    void FormMouseMove(QMouseEvent* event);
    void FormMouseUp(QMouseEvent* event);
    void FormResize();
    void BitBtn1Click();
    void BitBtn2Click();
    void Label5Click();
    void Credits1Click();
    void Howtouninstall1Click();
    void LicensePrivacyPolicy1Click();
    void InitMatrix();
    void RequestRainRepaint();

    TRain FRain;
    TRainCanvas FCanvas;
    QRegion FRequested;        // cells the rain asked to repaint since the last paint
    bool FFullRepaint = false; // the next paint is black all over
    bool dragging = false;
    int dx = 0;
    int dy = 0;
    bool FLinkPressed = false;
};

// Opens a new about box modally over parent; it frees itself when it closes.
void ShowAboutBox(QWidget* parent);

// Shows Menu just below Button. A click on the button that closes the open menu reaches the
// button right after the menu has returned; within 100 ms of that the call only forgets the
// menu, so that click closes it rather than opening it again.
void ShowPopupUnderButton(QWidget* Button, QMenu* Menu);

// Opens "license.txt" in folder with the desktop's text editor, or tells the user it is missing.
void ShowLicenseFile(QWidget* owner, const QString& folder);

// Test seam for ShowPopupUnderButton: popup replaces the blocking menu loop, tickCount the
// system's millisecond tick. Empty members keep the real ones. Returns the previous hooks.
struct TPopupHooks {
    std::function<void(QMenu* menu, const QPoint& screenPos)> popup;
    std::function<quint32()> tickCount;
};
TPopupHooks SetPopupHooksForTests(TPopupHooks hooks);
