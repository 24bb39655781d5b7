#pragma once

#include <QString>

// What the program fixes about the maker's web site: one host, and the paths on it.
namespace webconfig {

// The host, as configured at build time (or replaced by a test).
QString Host();
void SetHostForTests(const QString& host);

inline constexpr char CheckScriptPath[] = "/php/check2.php";
inline constexpr char FeedbackScriptPath[] = "/php/feedback.php";

// scheme is "https://" or "http://".
QString ScriptUrl(const QString& scheme, const char* path);
QString HomePageUrl();
QString HelpPageUrl(const QString& productName);
QString CreditsPageUrl();
QString UninstallPageUrl();

} // namespace webconfig
