#include "app/settings.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString WithSlash(const QString& folder) {
    return folder.endsWith(QLatin1Char('/')) ? folder : folder + QLatin1Char('/');
}

// A folder name taken from the version record: it must stay one level below its parent.
QString FolderLevel(QString name) {
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        name.replace(QLatin1Char('.'), QLatin1Char('_'));
    return name;
}

void MakeFolder(const QString& path, mode_t mode) {
    const QByteArray name = QFile::encodeName(path);
    ::mkdir(name.constData(), mode); // fails harmlessly when it exists
}

} // namespace

bool IsFolderWritable(const QString& Folder) {
    const QByteArray probe = QFile::encodeName(WithSlash(Folder) + QStringLiteral("chk.tmp"));
    int fd;
    do {
        // O_EXCL: an existing chk.tmp (or a link of that name) counts as not writable.
        fd = ::open(probe.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    // Removed before it is closed, as a delete-on-close file would be.
    ::unlink(probe.constData());
    ::close(fd);
    return true;
}

QString ChooseSettingsFolder(const QString& exeFolder, const QString& company,
                             const QString& product) {
    return ChooseSettingsFolder(exeFolder, company, product,
                                GetShellFolderPath(platform::CSIDL_APPDATA));
}

QString ChooseSettingsFolder(const QString& exeFolder, const QString& company,
                             const QString& product, const QString& configFolder) {
    const QString program = QDir::cleanPath(exeFolder);
    if (IsFolderWritable(program))
        return WithSlash(program);

    const QString config = QDir::cleanPath(configFolder);
    if (configFolder.isEmpty())
        return WithSlash(program);

    // The config folder itself may not exist yet on a fresh account; it is private by custom.
    MakeFolder(config, 0700);
    QString folder = config;
    for (const QString& level : {FolderLevel(company), FolderLevel(product)}) {
        if (level.isEmpty())
            continue;
        folder = WithSlash(folder) + level;
        MakeFolder(folder, 0777);
    }
    return WithSlash(folder);
}

QString TSettingsIni::ReadString(const QString& Section, const QString& Ident,
                                 const QString& Default) const {
    return platform::ReadProfileString(FFileName, Section, Ident, Default);
}

void TSettingsIni::WriteString(const QString& Section, const QString& Ident, const QString& Value) {
    platform::WriteProfileString(FFileName, Section, Ident, Value);
}
