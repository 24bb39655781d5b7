#include "platform/errorreport.h"

#include "platform/shell.h"
#include "platform/syserror.h"

namespace platform {

QString DefaultErrorText(const QString& message) {
    if (!message.isEmpty() && message.back() <= QLatin1Char('.'))
        return message;
    return message + QLatin1Char('.');
}

void ShowDefaultError(const QString& message) {
    ShowMessage(nullptr, TMsgIcon::Error, QApplication::applicationName(),
                DefaultErrorText(message));
}

void ReportCurrentException() {
    ShowDefaultError(ExceptionMessage(std::current_exception()));
}

} // namespace platform

TVelmoraApplication::TVelmoraApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TVelmoraApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        platform::ReportCurrentException();
        return false;
    }
}
