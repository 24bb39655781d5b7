#pragma once

#include <QIcon>

// The program's own icon at all the sizes the windows use (windows only: callers link QtGui).
inline QIcon ProgramIcon() {
    QIcon icon;
    for (const char* size : {"16", "32", "64", "256"})
        icon.addFile(QStringLiteral(":/velmora/velmora-%1.png").arg(QLatin1String(size)));
    return icon;
}
