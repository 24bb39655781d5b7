#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <sys/types.h>

// Child processes started from a Windows-style command line, standing in for CreateProcessW,
// GetExitCodeProcess, WaitForSingleObject and TerminateProcess.
// Needs Linux 5.4 or later (pidfds, waitid with P_PIDFD) and glibc 2.34 or later.
namespace platform {

// GetExitCodeProcess's answer while the child still runs.
inline constexpr std::uint32_t STILL_ACTIVE = 259;

// What stands for Windows' process-information record. The process handle is the child's pidfd
// and is valid only while the TChildProcess that owns it lives; there is no thread handle (0);
// the thread id is the id of the child's main thread, which equals its pid.
struct TProcessInformation {
    int hProcess = -1;
    int hThread = 0;
    pid_t dwProcessId = 0;
    pid_t dwThreadId = 0;
};

struct TChildStartup {
    // The whole command line; argv comes from SplitCommandLine, the program from
    // FindProgram(argv[0]), and argv[0] is passed on as written.
    QString CommandLine;
    // Working directory of the child; empty = the parent's.
    QString CurrentDir;
    // Lines "NAME=value" added to the parent's environment. Empty: the child gets the parent's
    // environment unchanged. Otherwise the child gets the parent's variables in their order,
    // then these lines in theirs. A name given twice would be read differently by different
    // programs (getenv takes the first entry, shells the last), so the child sees one entry
    // per name: a parent's variable that a line redefines is left out, and of several lines
    // naming the same variable only the last is kept. Lines without '=' are passed as they are.
    QStringList Environment;
    // Descriptors that become the child's standard input, output and error. The same
    // descriptor may be given for several; the caller keeps ownership of all of them.
    int StdIn = -1;
    int StdOut = -1;
    int StdErr = -1;
    // Windows creation flags; only the priority-class bits are used (see NiceForCreationFlags).
    std::uint32_t CreationFlags = 0;
};

// The nice value that a priority class in Windows creation flags maps onto: normal (0x20) 0,
// idle (0x40) 19, below normal (0x4000) 10, above normal (0x8000) -5, high (0x80) -10, realtime
// (0x100) -20. None of these bits set: no value. Several set: the lowest priority among them.
std::optional<int> NiceForCreationFlags(std::uint32_t creationFlags);

// One child process. Owned and used by one thread at a time; PidFd() may be polled by that
// thread alongside its other descriptors.
//
// The child runs in a session of its own (no controlling terminal, in place of a new hidden
// console), with its standard streams on the given descriptors and no other descriptor of this
// process: everything above 2 is closed in the child before the program runs, which also covers
// descriptors that other threads open without close-on-exec while the child is being started.
// Signal dispositions and the signal mask are reset to the defaults.
//
// The nice value is applied from this side right after the program has been started, so the
// child's first moments (and any thread it starts in them) run at the default priority. A value
// that the system refuses (raising priority without the privilege) leaves the default.
//
// Every child is reaped exactly once. When a TChildProcess is destroyed while its child still
// runs, the child is NOT killed (a caller may have decided to leave it running): its pidfd passes
// to a background reaper thread of this module that collects the child when it ends, so no
// zombie remains.
class TChildProcess {
public:
    TChildProcess() = default;
    ~TChildProcess();
    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    // Starts the child. Returns 0 on success, else the error number (the object then holds no
    // child): ENOENT when the program is not found, EINVAL for a NUL character in the command
    // line, directory or environment, EBUSY when this object already holds a child, or what the
    // system reports (a missing working directory, a program that may not be executed, ...).
    // Meant for "Error creating Process: %s - (%s)" with SysErrorMessage(error).
    int Start(const TChildStartup& startup);

    bool Started() const noexcept { return FPid > 0; }
    pid_t Pid() const noexcept { return FPid; }
    // Polls readable once the child has ended; -1 when no child was started.
    int PidFd() const noexcept { return FPidFd; }
    TProcessInformation Information() const noexcept { return {FPidFd, 0, FPid, FPid}; }

    // STILL_ACTIVE while the child runs; its exit status when it ended by itself; 0 when it was
    // ended by Kill(); 128 + the signal number when a signal ended it otherwise. 0 when no child
    // was started. The first call after the child's end collects it; later calls repeat the code.
    std::uint32_t ExitCode();

    // TerminateProcess with exit code 0: sends SIGKILL. Returns false when there is no child,
    // it has already been collected, or the signal could not be sent. A child that had already
    // ended by itself keeps its own exit code.
    bool Kill();

    // Waits up to ms milliseconds (negative: without limit) for the child's end; true when it
    // has ended (or there is no child). Does not collect it; ExitCode() does.
    bool WaitForExit(int ms);

private:
    pid_t FPid = 0;
    int FPidFd = -1;
    bool FKillSent = false;
    bool FReaped = false;
    std::uint32_t FExitCode = 0;
};

} // namespace platform
