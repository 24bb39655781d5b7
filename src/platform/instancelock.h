#pragma once

#include <QString>

// The named instance marker: a lock file of that name in the user's runtime folder, held with a
// shared lock for the life of the object. Any failure goes unnoticed, and it never keeps a
// second copy from running.
namespace platform {

class TInstanceLock {
public:
    explicit TInstanceLock(const QString& name);
    ~TInstanceLock();
    TInstanceLock(const TInstanceLock&) = delete;
    TInstanceLock& operator=(const TInstanceLock&) = delete;

    bool Held() const noexcept { return FFd >= 0; }
    QString Path() const { return FPath; }

private:
    int FFd = -1;
    QString FPath;
};

} // namespace platform
