#include "platform/instancelock.h"

#include <QDir>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace platform {

TInstanceLock::TInstanceLock(const QString& name) {
    QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::tempPath();
    FPath = QDir(folder).filePath(name);
    const QByteArray path = QFile::encodeName(FPath);
    int fd;
    do {
        fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return;
    int rc;
    do {
        rc = ::flock(fd, LOCK_SH | LOCK_NB);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ::close(fd);
        return;
    }
    FFd = fd;
}

TInstanceLock::~TInstanceLock() {
    if (FFd >= 0)
        ::close(FFd); // releases the lock; the file stays for the next copy
}

} // namespace platform
