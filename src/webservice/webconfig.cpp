#include "webservice/webconfig.h"

namespace webconfig {
namespace {

QString& HostValue() {
    static QString host = QStringLiteral(VELMORA_WEB_HOST);
    return host;
}

QString Page(const QString& path) {
    return QStringLiteral("http://") + HostValue() + path;
}

} // namespace

QString Host() {
    return HostValue();
}

void SetHostForTests(const QString& host) {
    HostValue() = host;
}

QString ScriptUrl(const QString& scheme, const char* path) {
    return scheme + HostValue() + QLatin1String(path);
}

QString HomePageUrl() {
    return Page(QStringLiteral("/"));
}

QString HelpPageUrl(const QString& productName) {
    // Only A to Z are lower-cased, as the site's slugs are plain ASCII.
    QString slug = productName;
    for (QChar& c : slug) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + 32);
    }
    slug.replace(QLatin1Char(' '), QLatin1Char('-'));
    return Page(QStringLiteral("/help/") + slug + QLatin1Char('/'));
}

QString CreditsPageUrl() {
    return Page(QStringLiteral("/blog/credits/"));
}

QString UninstallPageUrl() {
    return Page(QStringLiteral("/blog/how-to-uninstall-quentar-software/"));
}

} // namespace webconfig
