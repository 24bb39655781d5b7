#include "platform/process.h"

#include "platform/cmdline.h"
#include "platform/syserror.h"
#include "support/wait.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

using platform::STILL_ACTIVE;
using platform::TChildProcess;
using platform::TChildStartup;

namespace {

class TPipe {
public:
    TPipe() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) == 0) {
            FRead = fds[0];
            FWrite = fds[1];
        }
    }
    ~TPipe() {
        CloseRead();
        CloseWrite();
    }
    TPipe(const TPipe&) = delete;
    TPipe& operator=(const TPipe&) = delete;

    int Read() const { return FRead; }
    int Write() const { return FWrite; }
    void CloseRead() {
        if (FRead >= 0)
            ::close(FRead);
        FRead = -1;
    }
    void CloseWrite() {
        if (FWrite >= 0)
            ::close(FWrite);
        FWrite = -1;
    }
    // Everything until every writer has gone.
    QByteArray ReadAll() {
        QByteArray all;
        char buffer[4096];
        for (;;) {
            const ssize_t n = ::read(FRead, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return all;
            all.append(buffer, n);
        }
    }

private:
    int FRead = -1;
    int FWrite = -1;
};

QString Quoted(const QStringList& arguments) {
    QStringList quoted;
    for (const QString& a : arguments)
        quoted << platform::QuoteArgument(a);
    return quoted.join(' ');
}

QString Shell(const QString& script) {
    return "sh -c " + platform::QuoteArgument(script);
}

struct TRun {
    int Error = 0;
    std::uint32_t ExitCode = 0;
    QByteArray Output;
};

// Starts the child with stdout and stderr on one pipe and collects all it writes.
TRun RunToEnd(TChildStartup startup) {
    TRun run;
    TPipe output;
    startup.StdOut = output.Write();
    startup.StdErr = output.Write();
    TChildProcess child;
    run.Error = child.Start(startup);
    output.CloseWrite();
    if (run.Error)
        return run;
    run.Output = output.ReadAll();
    EXPECT_TRUE(child.WaitForExit(10000));
    run.ExitCode = child.ExitCode();
    return run;
}

TRun RunToEnd(const QString& commandLine) {
    TChildStartup startup;
    startup.CommandLine = commandLine;
    return RunToEnd(startup);
}

// Fields of /proc/<pid>/stat after the command name: [0] state, [1] ppid, [2] pgrp, [3] session.
QList<QByteArray> StatFields(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

QStringList OpenDescriptors(pid_t pid) {
    return QDir(QStringLiteral("/proc/%1/fd").arg(pid))
        .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System);
}

// Our children still in the process table, zombies included.
QList<pid_t> OurChildren() {
    QList<pid_t> children;
    const QByteArray self = QByteArray::number(::getpid());
    for (const QString& entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool isPid = false;
        const pid_t pid = entry.toInt(&isPid);
        if (!isPid)
            continue;
        const QList<QByteArray> fields = StatFields(pid);
        if (fields.size() > 1 && fields[1] == self)
            children << pid;
    }
    return children;
}

TEST(ChildProcess, ExitCodeAndMergedOutput) {
    const TRun run = RunToEnd(Shell("echo out; echo err >&2; echo out2; exit 3"));
    ASSERT_EQ(run.Error, 0);
    EXPECT_EQ(run.Output, "out\nerr\nout2\n");
    EXPECT_EQ(run.ExitCode, 3u);
}

TEST(ChildProcess, ArgumentsArriveExactly) {
    const QStringList arguments{"",
                                "two words",
                                "\"",
                                "a\\",
                                "\\\\server\\share\\",
                                R"(http://x/a.m3u8" -y -f "/tmp/evil)",
                                "line\nbreak",
                                "é€"};
    const TRun run = RunToEnd("printf " + Quoted(QStringList{"[%s]\n"} + arguments));
    ASSERT_EQ(run.Error, 0);
    QString expected;
    for (const QString& a : arguments)
        expected += "[" + a + "]\n";
    EXPECT_EQ(QString::fromUtf8(run.Output), expected);
}

TEST(ChildProcess, ProgramNameIsLookedUpButPassedAsWritten) {
    TChildStartup startup;
    startup.CommandLine = "sleep.exe 5";
    TChildProcess child;
    ASSERT_EQ(child.Start(startup), 0);
    // The parent resumes while exec is still setting up the new image's argument area.
    QByteArray arguments;
    testsupport::WaitUntil(
        [&] {
            QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(child.Pid()));
            arguments = cmdline.open(QIODevice::ReadOnly) ? cmdline.readAll() : QByteArray();
            return !arguments.isEmpty();
        },
        5000);
    EXPECT_EQ(arguments, QByteArray("sleep.exe\0"
                                    "5\0",
                                    12));
    EXPECT_TRUE(child.Kill());
}

TEST(ChildProcess, StandardInputFromTheGivenDescriptor) {
    TPipe input;
    ASSERT_EQ(::write(input.Write(), "hello\n", 6), 6);
    input.CloseWrite();
    TChildStartup startup;
    startup.CommandLine = Shell("read x; echo got:$x; read y || echo eof");
    startup.StdIn = input.Read();
    const TRun run = RunToEnd(startup);
    ASSERT_EQ(run.Error, 0);
    EXPECT_EQ(run.Output, "got:hello\neof\n");

    // Without a descriptor the child reads an empty input instead of ours.
    const TRun none = RunToEnd(Shell("cat; echo done"));
    EXPECT_EQ(none.Output, "done\n");
}

TEST(ChildProcess, StartFailuresComeBackAsErrorNumbers) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile plain(dir.filePath("plain"));
    ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
    plain.close();

    struct Case {
        QString commandLine;
        QString currentDir;
        int error;
    };
    const Case cases[] = {
        {"velmora-no-such-program -i x", {}, ENOENT},
        {"", {}, ENOENT},
        {"   ", {}, ENOENT},
        {dir.filePath("plain"), {}, EACCES},
        {"true", dir.filePath("missing"), ENOENT},
        {"echo a" + QString(QChar(u'\0')) + "b", {}, EINVAL},
    };
    for (const Case& c : cases) {
        TChildStartup startup;
        startup.CommandLine = c.commandLine;
        startup.CurrentDir = c.currentDir;
        TChildProcess child;
        EXPECT_EQ(child.Start(startup), c.error) << c.commandLine.toStdString();
        EXPECT_FALSE(child.Started());
        EXPECT_EQ(child.ExitCode(), 0u);
    }
    EXPECT_EQ(platform::SysErrorMessage(ENOENT), "No such file or directory");
}

TEST(ChildProcess, StartingTwiceIsRefused) {
    TChildStartup startup;
    startup.CommandLine = "true";
    TChildProcess child;
    ASSERT_EQ(child.Start(startup), 0);
    const pid_t pid = child.Pid();
    EXPECT_EQ(child.Start(startup), EBUSY);
    EXPECT_EQ(child.Pid(), pid);
    const platform::TProcessInformation info = child.Information();
    EXPECT_EQ(info.hProcess, child.PidFd());
    EXPECT_EQ(info.dwProcessId, pid);
    EXPECT_EQ(info.dwThreadId, pid);
}

TEST(ChildProcess, WorkingDirectoryAndRelativeProgramPath) {
    QTemporaryDir programDir;
    QTemporaryDir workDir;
    ASSERT_TRUE(programDir.isValid() && workDir.isValid());
    QFile tool(programDir.filePath("tool.sh"));
    ASSERT_TRUE(tool.open(QIODevice::WriteOnly));
    tool.write("#!/bin/sh\npwd -P\n");
    tool.close();
    tool.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    const QString oldCurrent = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(programDir.path()));
    TChildStartup startup;
    // Relative to our folder, not the child's, as CreateProcess resolves it.
    startup.CommandLine = "./tool.sh";
    startup.CurrentDir = workDir.path();
    const TRun run = RunToEnd(startup);
    QDir::setCurrent(oldCurrent);

    ASSERT_EQ(run.Error, 0);
    EXPECT_EQ(QString::fromLocal8Bit(run.Output).trimmed(), QDir(workDir.path()).canonicalPath());

    const TRun inherited = RunToEnd("pwd -P");
    EXPECT_EQ(QString::fromLocal8Bit(inherited.Output).trimmed(), QDir(oldCurrent).canonicalPath());
}

QList<QByteArray> ParentEnvironment() {
    QList<QByteArray> entries;
    for (char** e = environ; *e; ++e)
        entries << QByteArray(*e);
    return entries;
}

TEST(ChildProcess, EnvironmentIsTheParentsThenTheAddedLines) {
    const QList<QByteArray> parent = ParentEnvironment();
    ASSERT_FALSE(parent.isEmpty());

    const TRun unchanged = RunToEnd("env");
    ASSERT_EQ(unchanged.Error, 0);
    QByteArray expected = parent.join('\n') + '\n';
    EXPECT_EQ(unchanged.Output, expected);

    TChildStartup startup;
    startup.CommandLine = "env";
    startup.Environment = {"VELMORA_ADDED=one two", "VELMORA_SECOND=é"};
    const TRun extended = RunToEnd(startup);
    EXPECT_EQ(extended.Output, expected + "VELMORA_ADDED=one two\nVELMORA_SECOND=é\n");
}

TEST(ChildProcess, AnAddedLineWinsOverTheParentsVariable) {
    qputenv("VELMORA_TWICE", "parent");
    TChildStartup startup;
    startup.CommandLine = Shell("echo $VELMORA_TWICE; printenv VELMORA_TWICE; env | grep -c "
                                "'^VELMORA_TWICE='; echo $VELMORA_OTHER");
    startup.Environment = {"VELMORA_TWICE=first", "VELMORA_OTHER=x", "VELMORA_TWICE=last"};
    const TRun run = RunToEnd(startup);
    qunsetenv("VELMORA_TWICE");
    // The shell reads the last entry of a name, getenv the first: both must see the same.
    EXPECT_EQ(run.Output, "last\nlast\n1\nx\n");
}

TEST(ChildProcess, ChildRunsInASessionOfItsOwn) {
    TChildStartup startup;
    startup.CommandLine = "sleep 10";
    TChildProcess child;
    ASSERT_EQ(child.Start(startup), 0);
    const QList<QByteArray> fields = StatFields(child.Pid());
    ASSERT_GE(fields.size(), 4);
    EXPECT_EQ(fields[3].toInt(), child.Pid());
    EXPECT_EQ(fields[2].toInt(), child.Pid());
    EXPECT_NE(::getsid(0), child.Pid());
    child.Kill();
}

TEST(ChildProcess, ChildInheritsNoOtherDescriptor) {
    // One descriptor without close-on-exec for certain, and a thread that keeps opening more
    // while the children start.
    const int leaky = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(leaky, 0);
    std::atomic<bool> stop{false};
    std::thread opener([&] {
        while (!stop.load()) {
            const int fd = ::open("/dev/null", O_RDONLY);
            if (fd >= 0)
                ::close(fd);
        }
    });

    std::vector<std::unique_ptr<TChildProcess>> children;
    TPipe output;
    for (int i = 0; i < 20; ++i) {
        TChildStartup startup;
        startup.CommandLine = "sleep 10";
        startup.StdOut = output.Write();
        startup.StdErr = output.Write();
        children.push_back(std::make_unique<TChildProcess>());
        ASSERT_EQ(children.back()->Start(startup), 0);
    }
    stop = true;
    opener.join();
    ::close(leaky);

    const QStringList standardOnly{"0", "1", "2"};
    for (const auto& child : children) {
        // The dynamic loader may still hold a library open for a moment.
        ASSERT_TRUE(testsupport::WaitUntil(
            [&] { return OpenDescriptors(child->Pid()) == standardOnly; }, 5000))
            << OpenDescriptors(child->Pid()).join(' ').toStdString();
        child->Kill();
        child->WaitForExit(5000);
    }
}

TEST(ChildProcess, PriorityClassesMapOntoNiceValues) {
    using platform::NiceForCreationFlags;
    EXPECT_EQ(NiceForCreationFlags(0x20), 0);
    EXPECT_EQ(NiceForCreationFlags(0x40), 19);
    EXPECT_EQ(NiceForCreationFlags(0x4000), 10);
    EXPECT_EQ(NiceForCreationFlags(0x8000), -5);
    EXPECT_EQ(NiceForCreationFlags(0x80), -10);
    EXPECT_EQ(NiceForCreationFlags(0x100), -20);
    EXPECT_EQ(NiceForCreationFlags(0x40 | 0x10 | 0x400), 19);
    EXPECT_EQ(NiceForCreationFlags(0x80 | 0x4000), 10);
    EXPECT_EQ(NiceForCreationFlags(0x10 | 0x400), std::nullopt);
    EXPECT_EQ(NiceForCreationFlags(0), std::nullopt);

    auto startedNice = [](std::uint32_t flags) {
        TChildStartup startup;
        startup.CommandLine = "sleep 10";
        startup.CreationFlags = flags;
        TChildProcess child;
        EXPECT_EQ(child.Start(startup), 0);
        errno = 0;
        const int nice = ::getpriority(PRIO_PROCESS, id_t(child.Pid()));
        EXPECT_EQ(errno, 0);
        child.Kill();
        child.WaitForExit(5000);
        return nice;
    };
    // Whether this system lets us raise a priority decides what the higher classes give.
    bool mayRaise = false;
    {
        TChildStartup startup;
        startup.CommandLine = "sleep 10";
        TChildProcess probe;
        ASSERT_EQ(probe.Start(startup), 0);
        mayRaise = ::setpriority(PRIO_PROCESS, id_t(probe.Pid()), -20) == 0;
        probe.Kill();
    }
    const int ours = ::getpriority(PRIO_PROCESS, 0);
    ASSERT_EQ(ours, 0) << "the test expects to run at the normal priority";

    EXPECT_EQ(startedNice(0x20 | 0x10 | 0x400), 0);
    EXPECT_EQ(startedNice(0x40 | 0x10 | 0x400), 19);
    EXPECT_EQ(startedNice(0x4000), 10);
    EXPECT_EQ(startedNice(0x8000), mayRaise ? -5 : 0);
    EXPECT_EQ(startedNice(0x80), mayRaise ? -10 : 0);
    EXPECT_EQ(startedNice(0x100), mayRaise ? -20 : 0);
    EXPECT_EQ(startedNice(0x10), 0);
}

TEST(ChildProcess, ExitCodesOfRunningKilledAndSignalledChildren) {
    TChildStartup startup;
    startup.CommandLine = "sleep 10";

    TChildProcess killed;
    ASSERT_EQ(killed.Start(startup), 0);
    EXPECT_EQ(killed.ExitCode(), STILL_ACTIVE);
    EXPECT_EQ(killed.ExitCode(), STILL_ACTIVE);
    EXPECT_TRUE(killed.Kill());
    ASSERT_TRUE(killed.WaitForExit(5000));
    EXPECT_EQ(killed.ExitCode(), 0u);
    EXPECT_EQ(killed.ExitCode(), 0u);
    EXPECT_FALSE(killed.Kill());

    TChildProcess terminated;
    ASSERT_EQ(terminated.Start(startup), 0);
    ASSERT_EQ(::kill(terminated.Pid(), SIGTERM), 0);
    ASSERT_TRUE(terminated.WaitForExit(5000));
    EXPECT_EQ(terminated.ExitCode(), 128u + SIGTERM);

    // Killed by someone else: not our kill, so not exit code 0.
    TChildProcess foreign;
    ASSERT_EQ(foreign.Start(startup), 0);
    ASSERT_EQ(::kill(foreign.Pid(), SIGKILL), 0);
    ASSERT_TRUE(foreign.WaitForExit(5000));
    EXPECT_EQ(foreign.ExitCode(), 128u + SIGKILL);

    // A child that ended by itself keeps its code, even if a kill reaches it afterwards.
    TChildStartup exits;
    exits.CommandLine = Shell("exit 5");
    TChildProcess ended;
    ASSERT_EQ(ended.Start(exits), 0);
    ASSERT_TRUE(ended.WaitForExit(5000));
    ended.Kill();
    EXPECT_EQ(ended.ExitCode(), 5u);

    TChildProcess none;
    EXPECT_EQ(none.ExitCode(), 0u);
    EXPECT_FALSE(none.Kill());
    EXPECT_TRUE(none.WaitForExit(0));
}

TEST(ChildProcess, WaitForExitWaitsItsTimeAndWakesAtTheEnd) {
    TChildStartup startup;
    startup.CommandLine = "sleep 0.3";
    TChildProcess child;
    ASSERT_EQ(child.Start(startup), 0);
    EXPECT_FALSE(child.WaitForExit(0));
    QElapsedTimer timer;
    timer.start();
    EXPECT_FALSE(child.WaitForExit(50));
    EXPECT_GE(timer.elapsed(), 50);
    EXPECT_TRUE(child.WaitForExit(-1));
    EXPECT_EQ(child.ExitCode(), 0u);
}

TEST(ChildProcess, DestructionLeavesARunningChildRunningAndNoZombies) {
    pid_t survivor = 0;
    {
        TChildStartup startup;
        startup.CommandLine = "sleep 0.5";
        TChildProcess child;
        ASSERT_EQ(child.Start(startup), 0);
        survivor = child.Pid();
    }
    const QList<QByteArray> fields = StatFields(survivor);
    ASSERT_FALSE(fields.isEmpty());
    EXPECT_NE(fields[0], "Z");

    // A mix of children that end at once, soon, or were already collected.
    for (int i = 0; i < 60; ++i) {
        TChildStartup startup;
        startup.CommandLine = i % 3 == 0 ? "sleep 0.2" : "true";
        TChildProcess child;
        ASSERT_EQ(child.Start(startup), 0);
        if (i % 3 == 2)
            child.WaitForExit(5000);
    }
    EXPECT_TRUE(testsupport::WaitUntil([] { return OurChildren().isEmpty(); }, 10000))
        << OurChildren().size() << " children left";
}

TEST(ChildProcess, NoDescriptorLeakOverManyStarts) {
    // The first child left running brings up the reaper and its descriptor. The pidfds of
    // children still running are counted apart: they go when their child has been collected.
    {
        TChildStartup startup;
        startup.CommandLine = "sleep 0.1";
        TChildProcess child;
        ASSERT_EQ(child.Start(startup), 0);
    }
    auto countPidFds = [] {
        int count = 0;
        const QDir fds("/proc/self/fd");
        for (const QString& fd : OpenDescriptors(::getpid()))
            count += QFile::symLinkTarget(fds.filePath(fd)).contains("pidfd") ? 1 : 0;
        return count;
    };
    const qsizetype before = OpenDescriptors(::getpid()).size() - countPidFds();

    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(RunToEnd("true").Error, 0);
    // Failed starts, before and inside the spawn, give back what they took as well.
    TChildStartup badDirectory;
    badDirectory.CommandLine = "true";
    badDirectory.CurrentDir = "/velmora-no-such-folder";
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(RunToEnd("velmora-no-such-program").Error, ENOENT);
        ASSERT_EQ(RunToEnd(badDirectory).Error, ENOENT);
    }
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] { return OurChildren().isEmpty() && countPidFds() == 0; }, 10000));
    EXPECT_EQ(OpenDescriptors(::getpid()).size(), before);
}

} // namespace
