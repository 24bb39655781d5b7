#pragma once

#include "download/queue.h"

#include <QMainWindow>

#include <memory>

class QAction;
class QUrl;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QSplitter;
class QTimer;
class QToolBar;
class QToolButton;
class TDosCommand;
class TDownloadList;
class TDownloadListView;
class TSettingsIni;

// The main window: hosts the download list, the queue's controls, the destination field and the
// menus, and starts the update check. Everything here runs on the main thread.
class TAppForm : public QMainWindow, private TQueueView {
    Q_OBJECT
public:
    explicit TAppForm(QWidget* parent = nullptr);
    ~TAppForm() override;

    // Adds isim as a list entry unless an entry with exactly that caption exists.
    void Ekle(const QString& isim);
    // Files dropped on the window: playlists among them become entries, each name taken whole.
    void WMDropFiles(const QList<QUrl>& names);

    // The window's controls, named as on the form; tests reach them directly.
    QToolBar* ToolBar1 = nullptr;
    QToolButton* ToolButton3 = nullptr; // "Add M3U8"
    QToolButton* Button1 = nullptr;     // "Download" / "STOP"
    QToolButton* ToolButton1 = nullptr; // "Feedback"
    QToolButton* ToolButton7 = nullptr; // "About"
    QWidget* Panel3 = nullptr;
    TDownloadListView* ListView1 = nullptr;
    QWidget* Panel4 = nullptr;
    QLabel* Label2 = nullptr;
    QToolButton* SpeedButton1 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QSplitter* Splitter1 = nullptr;
    QWidget* Memo1Box = nullptr; // holds Memo1 with its 3-pixel margins
    QPlainTextEdit* Memo1 = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QTimer* TimerChecker = nullptr;

    QAction* AddFile1 = nullptr;
    QAction* Exit1 = nullptr;
    QAction* Help2 = nullptr;
    QAction* UpdateNotifications1 = nullptr;
    QAction* UpdateNotificationsBar = nullptr;
    QAction* SendFeedback1 = nullptr;
    QAction* About1 = nullptr;

    // The folder picked last with the folder button in this run.
    static QString LastPickedFolder();

    TDownloadList& List() const { return *FList; }
    TDosCommand& DosCommand1() const { return *FDosCommand1; }
    TDownloadQueue& Queue() const { return *FQueue; }

    // The open settings file; null when start-up could not open it.
    TSettingsIni* SettingsIni() const { return FSettingsIni.get(); }

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateControls();
    void CreateMenus();
    void FormCreate();
    void FormShow();

    void Help2Click();
    void Exit1Click();
    void AddFile1Click();
    void ToolButton3Click();
    void ToolButton1Click();
    void SendFeedback1Click();
    void ToolButton7Click();
    void About1Click();
    void Edit1Change();
    void SpeedButton1Click();

    // The queue's view of the window.
    QString Destination() override;
    void SetRunningLook(bool running) override;
    void SetButtonEnabled(bool enabled) override;
    void ClearLog() override;
    void AppendLog(const QString& line) override;
    void ShowLog() override;
    void ProcessMessages() override;
    void Beep() override;

    // In this order: the list outlives the runner, and the runner outlives the queue that
    // handles its events.
    std::unique_ptr<TDownloadList> FList;
    std::unique_ptr<TDosCommand> FDosCommand1;
    std::unique_ptr<TDownloadQueue> FQueue;
    std::unique_ptr<TSettingsIni> FSettingsIni;
    bool FShown = false;
};
