#pragma once

#include <QApplication>
#include <QString>

// The application's default error report: an error that escapes every handler ends here and
// is shown in a message box instead of ending the program.
namespace platform {

// The report's text: the message with "." appended unless it already ends in a character that
// sorts at or below "." (such as ".", a blank or "!").
QString DefaultErrorText(const QString& message);
// Shows the report: error icon, the application title as caption.
void ShowDefaultError(const QString& message);
// Reports the exception currently being handled; call from a catch block.
void ReportCurrentException();

} // namespace platform

// The application object. Its notify() catches errors that escape event handlers and hands
// them to the default report.
class TVelmoraApplication : public QApplication {
public:
    TVelmoraApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;
};
