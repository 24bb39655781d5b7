#include "platform/process.h"

#include "platform/cmdline.h"

#include <QFile>
#include <QHash>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace platform {

namespace {

// Through syscall(): glibc 2.36's <sys/pidfd.h> lacks C linkage for C++ callers, and older
// libraries have no wrappers at all.
int PidFdOpen(pid_t pid) {
    return int(::syscall(SYS_pidfd_open, pid, 0u));
}

int PidFdSendSignal(int pidfd, int signal) {
    return int(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u));
}

void CloseOnce(int fd) noexcept {
    // Linux releases the descriptor even when close() reports EINTR; retrying could close a
    // descriptor that another thread has just been given.
    if (fd >= 0)
        ::close(fd);
}

// Collects a child without waiting. Returns true when it has been collected (status set), false
// while it still runs. A child that someone else collected (SIGCHLD set to SIG_IGN makes the
// kernel do so) counts as collected with exit code 0 once its pidfd reports the end.
bool TryCollect(int pidfd, siginfo_t& info) {
    info = {};
    int result;
    do {
        result = ::waitid(P_PIDFD, id_t(pidfd), &info, WEXITED | WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result == 0)
        return info.si_pid != 0;
    if (errno != ECHILD)
        return false;
    pollfd p{pidfd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, 0);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0)
        return false;
    info = {};
    info.si_code = CLD_EXITED;
    info.si_status = 0;
    return true;
}

// Children whose TChildProcess went away while they still ran. One background thread waits on
// all their pidfds and collects each when it ends. The thread and its state live until the
// program ends; the thread holds a reference of its own, so static destruction cannot pull the
// state from under it.
class TReaper {
public:
    static void Adopt(int pidfd) {
        static const std::shared_ptr<TReaper> reaper = std::make_shared<TReaper>();
        reaper->Add(reaper, pidfd);
    }

    ~TReaper() { CloseOnce(FWake); }

private:
    void Add(const std::shared_ptr<TReaper>& self, int pidfd) {
        std::lock_guard<std::mutex> guard(FLock);
        FPidFds.push_back(pidfd);
        if (!FStarted) {
            try {
                if (FWake < 0)
                    FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
                if (FWake >= 0) {
                    std::thread(&TReaper::Run, self).detach();
                    FStarted = true;
                }
            } catch (const std::system_error&) {
                // No thread to be had now: the list is swept on every later adoption instead.
            }
        }
        if (FStarted) {
            const std::uint64_t one = 1;
            ssize_t written;
            do {
                written = ::write(FWake, &one, sizeof one);
            } while (written < 0 && errno == EINTR);
        } else {
            SweepLocked();
        }
    }

    void SweepLocked() {
        for (auto it = FPidFds.begin(); it != FPidFds.end();) {
            siginfo_t info;
            if (TryCollect(*it, info)) {
                CloseOnce(*it);
                it = FPidFds.erase(it);
            } else {
                ++it;
            }
        }
    }

    static void Run(std::shared_ptr<TReaper> self) { self->Loop(); }

    void Loop() {
        std::vector<pollfd> fds;
        for (;;) {
            fds.clear();
            {
                std::lock_guard<std::mutex> guard(FLock);
                fds.push_back({FWake, POLLIN, 0});
                for (int pidfd : FPidFds)
                    fds.push_back({pidfd, POLLIN, 0});
            }
            if (::poll(fds.data(), nfds_t(fds.size()), -1) < 0)
                continue; // EINTR; nothing else can go wrong with these descriptors
            if (fds[0].revents) {
                std::uint64_t count;
                while (::read(FWake, &count, sizeof count) < 0 && errno == EINTR) {
                }
            }
            bool anyEnded = false;
            for (size_t i = 1; i < fds.size(); ++i)
                anyEnded = anyEnded || fds[i].revents != 0;
            if (anyEnded) {
                std::lock_guard<std::mutex> guard(FLock);
                SweepLocked();
            }
        }
    }

    std::mutex FLock;
    std::vector<int> FPidFds;
    int FWake = -1;
    bool FStarted = false;
};

bool HasNul(const QString& text) {
    return text.contains(QChar(u'\0'));
}

// The part of an environment entry before its '='. Windows keeps entries such as "=C:=C:\" whose
// name begins with '=', so the search starts after the first character. Entries without '='
// have no name and are never matched.
QByteArray EntryName(const QByteArray& entry) {
    const qsizetype eq = entry.indexOf('=', 1);
    return eq < 0 ? QByteArray() : entry.left(eq);
}

QByteArray EntryName(const char* entry) {
    const char* eq = entry[0] ? std::strchr(entry + 1, '=') : nullptr;
    return eq ? QByteArray(entry, eq - entry) : QByteArray();
}

struct TSpawnFileActions {
    posix_spawn_file_actions_t FActions;
    int FError = ::posix_spawn_file_actions_init(&FActions);
    ~TSpawnFileActions() {
        if (FError == 0)
            ::posix_spawn_file_actions_destroy(&FActions);
    }
};

struct TSpawnAttributes {
    posix_spawnattr_t FAttributes;
    int FError = ::posix_spawnattr_init(&FAttributes);
    ~TSpawnAttributes() {
        if (FError == 0)
            ::posix_spawnattr_destroy(&FAttributes);
    }
};

// A descriptor that the caller gave for a standard stream, moved above 2 when needed so that
// putting the three into place in the child cannot overwrite one with another.
struct TStreamSource {
    int FFd = -1;
    int FOwnedCopy = -1;
    ~TStreamSource() { CloseOnce(FOwnedCopy); }

    int Prepare(int fd) {
        FFd = fd;
        if (fd >= 0 && fd <= 2) {
            FOwnedCopy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
            if (FOwnedCopy < 0)
                return errno;
            FFd = FOwnedCopy;
        }
        return 0;
    }
};

} // namespace

std::optional<int> NiceForCreationFlags(std::uint32_t creationFlags) {
    // Lowest priority first: that is the one kept when several classes are given.
    if (creationFlags & 0x40)
        return 19;
    if (creationFlags & 0x4000)
        return 10;
    if (creationFlags & 0x20)
        return 0;
    if (creationFlags & 0x8000)
        return -5;
    if (creationFlags & 0x80)
        return -10;
    if (creationFlags & 0x100)
        return -20;
    return std::nullopt;
}

TChildProcess::~TChildProcess() {
    if (FPid <= 0)
        return;
    if (ExitCode() == STILL_ACTIVE) {
        TReaper::Adopt(FPidFd);
        return;
    }
    CloseOnce(FPidFd);
}

int TChildProcess::Start(const TChildStartup& startup) {
    if (FPid > 0)
        return EBUSY;
    if (HasNul(startup.CommandLine) || HasNul(startup.CurrentDir))
        return EINVAL;
    for (const QString& line : startup.Environment) {
        if (HasNul(line))
            return EINVAL;
    }

    // Everything the child needs is built here, before it exists.
    const QStringList arguments = SplitCommandLine(startup.CommandLine);
    if (arguments.isEmpty())
        return ENOENT;
    const QString program = FindProgram(arguments.first());
    if (program.isEmpty())
        return ENOENT;
    const QByteArray programPath = QFile::encodeName(program);
    const QByteArray directory = QFile::encodeName(startup.CurrentDir);

    std::vector<QByteArray> argumentBytes;
    argumentBytes.reserve(size_t(arguments.size()));
    for (const QString& argument : arguments)
        argumentBytes.push_back(argument.toLocal8Bit());
    std::vector<char*> argv;
    argv.reserve(argumentBytes.size() + 1);
    for (QByteArray& bytes : argumentBytes)
        argv.push_back(bytes.data());
    argv.push_back(nullptr);

    std::vector<QByteArray> addedLines;
    std::vector<char*> envp;
    char** environment = environ;
    if (!startup.Environment.isEmpty()) {
        addedLines.reserve(size_t(startup.Environment.size()));
        QHash<QByteArray, size_t> lastLineOfName;
        for (const QString& line : startup.Environment) {
            addedLines.push_back(line.toLocal8Bit());
            const QByteArray name = EntryName(addedLines.back());
            if (!name.isEmpty())
                lastLineOfName.insert(name, addedLines.size() - 1);
        }
        for (char** entry = environ; entry && *entry; ++entry) {
            if (!lastLineOfName.contains(EntryName(*entry)))
                envp.push_back(*entry);
        }
        for (size_t i = 0; i < addedLines.size(); ++i) {
            const QByteArray name = EntryName(addedLines[i]);
            if (name.isEmpty() || lastLineOfName.value(name) == i)
                envp.push_back(addedLines[i].data());
        }
        envp.push_back(nullptr);
        environment = envp.data();
    }

    TStreamSource sources[3];
    const int wanted[3] = {startup.StdIn, startup.StdOut, startup.StdErr};
    for (int i = 0; i < 3; ++i) {
        if (const int error = sources[i].Prepare(wanted[i]))
            return error;
    }

    TSpawnFileActions actions;
    if (actions.FError)
        return actions.FError;
    TSpawnAttributes attributes;
    if (attributes.FError)
        return attributes.FError;

    int error = 0;
    for (int i = 0; i < 3 && error == 0; ++i) {
        if (sources[i].FFd >= 0)
            error = ::posix_spawn_file_actions_adddup2(&actions.FActions, sources[i].FFd, i);
        else
            error = ::posix_spawn_file_actions_addopen(&actions.FActions, i, "/dev/null",
                                                       i == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (error == 0 && !directory.isEmpty())
        error = ::posix_spawn_file_actions_addchdir_np(&actions.FActions, directory.constData());
    // Descriptors that other threads open without close-on-exec while we spawn would otherwise
    // slip into the child.
    if (error == 0)
        error = ::posix_spawn_file_actions_addclosefrom_np(&actions.FActions, 3);

    sigset_t noSignals;
    sigset_t allSignals;
    sigemptyset(&noSignals);
    sigfillset(&allSignals);
    if (error == 0)
        error = ::posix_spawnattr_setflags(
            &attributes.FAttributes,
            short(POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF));
    if (error == 0)
        error = ::posix_spawnattr_setsigmask(&attributes.FAttributes, &noSignals);
    // Dispositions set to "ignore" survive exec; a converter with SIGPIPE ignored would not
    // end when its reader goes away.
    if (error == 0)
        error = ::posix_spawnattr_setsigdefault(&attributes.FAttributes, &allSignals);
    if (error)
        return error;

    pid_t pid = 0;
    error = ::posix_spawn(&pid, programPath.constData(), &actions.FActions, &attributes.FAttributes,
                          argv.data(), environment);
    if (error)
        return error;

    // The child cannot be collected by anyone but us before this, so the pidfd names it.
    const int pidfd = PidFdOpen(pid);
    if (pidfd < 0) {
        error = errno;
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return error;
    }
    FPid = pid;
    FPidFd = pidfd;
    FKillSent = false;
    FReaped = false;
    FExitCode = 0;

    if (const std::optional<int> nice = NiceForCreationFlags(startup.CreationFlags))
        ::setpriority(PRIO_PROCESS, id_t(pid), *nice); // refused: the default stays
    return 0;
}

std::uint32_t TChildProcess::ExitCode() {
    if (FPid <= 0)
        return 0;
    if (FReaped)
        return FExitCode;
    siginfo_t info;
    if (!TryCollect(FPidFd, info))
        return STILL_ACTIVE;
    FReaped = true;
    if (info.si_code == CLD_EXITED)
        FExitCode = std::uint32_t(info.si_status);
    else if (FKillSent && info.si_status == SIGKILL)
        FExitCode = 0;
    else
        FExitCode = 128u + std::uint32_t(info.si_status);
    return FExitCode;
}

bool TChildProcess::Kill() {
    if (FPid <= 0 || FReaped)
        return false;
    if (PidFdSendSignal(FPidFd, SIGKILL) != 0)
        return false;
    FKillSent = true;
    return true;
}

bool TChildProcess::WaitForExit(int ms) {
    if (FPid <= 0 || FReaped)
        return true;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(ms < 0 ? 0 : ms);
    for (;;) {
        int timeout = -1;
        if (ms >= 0) {
            // Rounded up, so that a wait never ends a hair before its time is up.
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            timeout = left.count() < 0 ? 0 : int(left.count());
        }
        pollfd p{FPidFd, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout);
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

} // namespace platform
