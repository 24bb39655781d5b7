#include "app/droppednames.h"

#include <QFileInfo>

namespace {

QString AsciiLower(QString text) {
    for (QChar& c : text) {
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + 32);
    }
    return text;
}

} // namespace

bool IsDroppedPlaylist(const QString& path) {
    if (path.isEmpty() || QFileInfo(path).isDir())
        return false;
    const qsizetype nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    if (dot < nameStart)
        return false;
    return AsciiLower(path.mid(dot)) == QLatin1String(".m3u8");
}

QStringList DroppedPlaylists(const QStringList& paths) {
    QStringList result;
    for (const QString& path : paths) {
        if (IsDroppedPlaylist(path))
            result << path;
    }
    return result;
}
