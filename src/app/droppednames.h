#pragma once

#include <QString>
#include <QStringList>

// Which dropped names become list entries: existing folders never; otherwise names whose
// extension (from the last "." of the file-name part, A-Z lower-cased only) is ".m3u8". The
// path is taken whole, however long: a cut-off path would name another file.
bool IsDroppedPlaylist(const QString& path);
QStringList DroppedPlaylists(const QStringList& paths);
