#include "platform/shell.h"

#include <QApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

namespace platform {
namespace {

TShellHooks& Hooks() {
    static TShellHooks hooks;
    return hooks;
}

QMessageBox::Icon ToQt(TMsgIcon icon) {
    switch (icon) {
    case TMsgIcon::Error:
        return QMessageBox::Critical;
    case TMsgIcon::Information:
        return QMessageBox::Information;
    case TMsgIcon::Warning:
        return QMessageBox::Warning;
    }
    return QMessageBox::NoIcon;
}

// Texts are written with Windows line breaks, where a lone CR also breaks a line; Qt's boxes
// show a lone CR as a blank.
QString DisplayText(const QString& text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return shown;
}

} // namespace

TShellHooks SetShellHooks(TShellHooks hooks) {
    std::swap(Hooks(), hooks);
    return hooks;
}

void ShellOpenUrl(const QString& url) {
    if (Hooks().openUrl) {
        Hooks().openUrl(url);
        return;
    }
    QDesktopServices::openUrl(QUrl(url));
}

void ShellOpenTextFile(const QString& path) {
    if (Hooks().openTextFile) {
        Hooks().openTextFile(path);
        return;
    }
    // A file URL carries blanks in the folder's path safely, unlike a command line.
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absoluteFilePath()));
}

void MessageBeep() {
    if (Hooks().beep) {
        Hooks().beep();
        return;
    }
    QApplication::beep();
}

void ShowMessage(QWidget* parent, TMsgIcon icon, const QString& caption, const QString& text) {
    if (Hooks().message) {
        Hooks().message(parent, icon, caption, text);
        return;
    }
    QMessageBox box(ToQt(icon), caption, DisplayText(text), QMessageBox::Ok, parent);
    box.exec();
}

void ShowMessageNonModal(TMsgIcon icon, const QString& caption, const QString& text,
                         std::function<void()> onDismissed) {
    if (Hooks().message) {
        Hooks().message(nullptr, icon, caption, text);
        if (onDismissed)
            onDismissed();
        return;
    }
    auto* box = new QMessageBox(ToQt(icon), caption, DisplayText(text), QMessageBox::Ok);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    QObject::connect(box, &QObject::destroyed, [fn = std::move(onDismissed)] {
        if (fn)
            fn();
    });
    box->show();
}

} // namespace platform
