#pragma once

#include <QString>

#include <functional>

class QWidget;

// The shell facilities the windows use: opening pages and files, the beep and message boxes.
// Each passes through this one place so that tests can replace it and see what would have been
// shown or opened, without starting a browser or waiting on a person. Main thread only.
namespace platform {

enum class TMsgIcon { Error, Information, Warning };

// Opens an address with the desktop's default handler ("open" verb). Errors are ignored.
void ShellOpenUrl(const QString& url);
// Opens a text file in the desktop's default text editor. Errors are ignored.
void ShellOpenTextFile(const QString& path);
// The platform's default message beep.
void MessageBeep();
// A modal message box with a single OK button.
void ShowMessage(QWidget* parent, TMsgIcon icon, const QString& caption, const QString& text);
// A non-modal message box with a single OK button; onDismissed runs once it has been closed.
void ShowMessageNonModal(TMsgIcon icon, const QString& caption, const QString& text,
                         std::function<void()> onDismissed);

// Test seam: any hook that is set replaces the real facility.
struct TShellHooks {
    std::function<void(const QString& url)> openUrl;
    std::function<void(const QString& path)> openTextFile;
    std::function<void()> beep;
    std::function<void(QWidget* parent, TMsgIcon icon, const QString& caption, const QString& text)>
        message;
};
// Installs hooks and returns the previous ones.
TShellHooks SetShellHooks(TShellHooks hooks);

} // namespace platform
