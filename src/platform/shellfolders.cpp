#include "platform/shellfolders.h"

#include <QDir>
#include <QStandardPaths>

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

// The home folder: $HOME, or the password database when HOME is unset or not absolute.
QString HomeFolder() {
    const QString home = qEnvironmentVariable("HOME");
    if (QDir::isAbsolutePath(home))
        return home;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    struct passwd entry;
    struct passwd* result = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result &&
        result->pw_dir && result->pw_dir[0] == '/')
        return QFile::decodeName(result->pw_dir);
    return {};
}

} // namespace

QString GetShellFolderPath(int csidl) {
    switch (csidl) {
    case CSIDL_DESKTOP: {
        const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
        return QDir::isAbsolutePath(desktop) ? QDir::cleanPath(desktop) : QString();
    }
    case CSIDL_APPDATA: {
        // A relative XDG_CONFIG_HOME is invalid and must be ignored.
        const QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
        if (QDir::isAbsolutePath(config))
            return QDir::cleanPath(config);
        const QString home = HomeFolder();
        return home.isEmpty() ? QString() : QDir::cleanPath(home + QStringLiteral("/.config"));
    }
    default:
        return {};
    }
}

} // namespace platform
