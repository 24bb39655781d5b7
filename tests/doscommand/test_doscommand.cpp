// The process runner with real children: how runs end, what they deliver and in which order,
// input, environment, time limits, failures and the component's destruction during a run.
#include "doscommand/doscommand.h"
#include "platform/cmdline.h"
#include "platform/mainthread.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSet>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <semaphore>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

QString Sh(const QString& script) {
    return QStringLiteral("sh -c ") + platform::QuoteArgument(script);
}

// The state letter of a process in /proc ('Z' for a zombie), or 0 when it is gone.
char ProcessState(pid_t pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    return close > 0 && close + 2 < text.size() ? text.at(close + 2) : 0;
}

bool Running(pid_t pid) {
    const char state = ProcessState(pid);
    return state != 0 && state != 'Z';
}

// Records a component's events: "E:" / "B:" lines, "X:" errors with class and message, "T" for
// OnTerminated; and the message boxes of ShowExecuteError.
struct Recorder {
    std::vector<QString> log;
    int terminated = 0;
    bool handleErrors = false;
    QStringList boxes;

    explicit Recorder(TDosCommand& c) {
        c.SetOnNewLine([this](TDosCommand*, const QString& line, TOutputType type) {
            log.push_back((type == otEntireLine ? QStringLiteral("E:") : QStringLiteral("B:")) +
                          line);
        });
        c.SetOnTerminated([this](TDosCommand*) {
            log.push_back(QStringLiteral("T"));
            ++terminated;
        });
        c.SetOnExecuteError([this](TDosCommand*, const Exception& e, bool& handled) {
            log.push_back(
                QStringLiteral("X:%1:%2").arg(QString::fromLatin1(e.ClassName()), e.Message()));
            handled = handleErrors;
        });
        TDosCommand::SetShowErrorHook([this](const QString& caption, const QString& text) {
            boxes.append(caption + QStringLiteral("|") + text);
        });
    }
    ~Recorder() { TDosCommand::SetShowErrorHook(nullptr); }

    bool WaitEnd(int count = 1, int ms = 15000) {
        return testsupport::WaitUntil([&] { return terminated >= count; }, ms);
    }
    // The complete lines only, in order.
    QStringList Entire() const {
        QStringList lines;
        for (const QString& entry : log)
            if (entry.startsWith(QStringLiteral("E:")))
                lines.append(entry.mid(2));
        return lines;
    }
};

} // namespace

TEST(DosCommand, ChildEndsByItselfWithItsExitCodeAndEveryLineInOrder) {
    TDosCommand c;
    Recorder r(c);
    EXPECT_EQ(c.EndStatus(), esNone);
    EXPECT_EQ(c.Priority(), 32);
    bool linesUpToDate = true;
    bool processKnown = true;
    c.SetOnNewLine([&](TDosCommand* sender, const QString& line, TOutputType type) {
        EXPECT_EQ(sender, &c);
        if (type == otEntireLine)
            linesUpToDate = linesUpToDate && !c.Lines().isEmpty() && c.Lines().last() == line;
        processKnown = processKnown && c.ProcessInformation().dwProcessId > 0;
        r.log.push_back((type == otEntireLine ? "E:" : "B:") + line);
    });
    c.SetCommandLine(Sh("printf 'one\\r\\ntwo\\n'; printf 'err\\n' >&2; printf 'last'; exit 3"));
    c.Execute();
    EXPECT_TRUE(c.IsRunning());
    EXPECT_EQ(c.EndStatus(), esStill_Active);
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_FALSE(c.IsRunning());
    EXPECT_EQ(c.EndStatus(), esProcess);
    EXPECT_EQ(c.ExitCode(), 3u);
    EXPECT_EQ(r.Entire(), (QStringList{"one", "two", "err", "last"}));
    EXPECT_EQ(c.Lines(), (QStringList{"one", "two", "err", "last"}));
    EXPECT_EQ(r.log.back(), "T");
    EXPECT_TRUE(linesUpToDate);
    EXPECT_TRUE(processKnown);
    EXPECT_TRUE(r.boxes.isEmpty());
}

TEST(DosCommand, LastLinesOfABigOutputAreNeverLost) {
    TDosCommand c;
    Recorder r(c);
    c.SetCommandLine(Sh("seq 1 30000; printf end"));
    c.Execute();
    ASSERT_TRUE(r.WaitEnd());
    ASSERT_EQ(c.Lines().size(), 30001);
    for (int i = 0; i < 30000; ++i)
        ASSERT_EQ(c.Lines().at(i), QString::number(i + 1));
    EXPECT_EQ(c.Lines().last(), "end");
    EXPECT_EQ(c.EndStatus(), esProcess);
}

TEST(DosCommand, GrandchildThatKeepsWritingDoesNotHoldTheRun) {
    TDosCommand c;
    Recorder r(c);
    // The shell ends at once; the loop it leaves behind keeps the output pipe open and busy.
    c.SetCommandLine(Sh("(while :; do echo spam; sleep 0.005; done) & echo done; exit 7"));
    QElapsedTimer clock;
    clock.start();
    c.Execute();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(c.EndStatus(), esProcess);
    EXPECT_EQ(c.ExitCode(), 7u);
    EXPECT_TRUE(c.Lines().contains(QStringLiteral("done")));
}

TEST(DosCommand, StopKillsTheChildAndDeliversTheUnfinishedLineFirst) {
    TDosCommand c;
    Recorder r(c);
    c.Stop(); // idle: nothing happens
    c.SetCommandLine(Sh("printf 'done\\npartial'; exec sleep 30"));
    c.Execute();
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return !r.log.empty() && r.log.back() == "B:partial"; }));
    const pid_t pid = c.ProcessInformation().dwProcessId;
    EXPECT_TRUE(Running(pid));
    c.Stop();
    c.Stop();
    ASSERT_TRUE(r.WaitEnd());
    testsupport::PumpEvents(100);
    EXPECT_EQ(r.terminated, 1);
    EXPECT_EQ(c.EndStatus(), esStop);
    EXPECT_EQ(c.ExitCode(), 0u);
    EXPECT_EQ(r.log, (std::vector<QString>{"E:done", "B:partial", "E:partial", "T"}));
    EXPECT_EQ(c.Lines(), (QStringList{"done", "partial"}));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return ProcessState(pid) == 0; }, 5000));
}

TEST(DosCommand, StopAndEndPendingTogetherEndAsProcess) {
    TDosCommand c;
    Recorder r(c);
    // The worker is held inside the encoding hook while the child ends and Stop is called, so
    // that both are pending at its next wake-up.
    std::binary_semaphore release(0);
    std::atomic<bool> inHook{false};
    c.SetOnCharEncoding([&](TDosCommand*, const QString&, QIODevice&) {
        inHook = true;
        release.acquire(); // writes nothing
    });
    c.SetCommandLine(Sh("sleep 0.3; exit 4"));
    c.Execute();
    c.SendLine(QStringLiteral("x"), false);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return inHook.load(); }));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return c.ProcessInformation().dwProcessId > 0; }));
    const pid_t pid = c.ProcessInformation().dwProcessId;
    ASSERT_TRUE(testsupport::WaitUntil([&] { return ProcessState(pid) == 'Z'; }));
    c.Stop();
    release.release();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(c.EndStatus(), esProcess);
    EXPECT_EQ(c.ExitCode(), 4u);
}

TEST(DosCommand, TimeLimitsAreStrictlyGreaterAndOnlyLineBreaksCountAsOutput) {
    // Three runs side by side: a run-time limit, a silence limit with a CR progress line, and
    // the same silence limit with dots that never end a line.
    TDosCommand beginning, progress, dots;
    Recorder rb(beginning), rp(progress), rd(dots);
    beginning.SetMaxTimeAfterBeginning(2);
    beginning.SetCommandLine(QStringLiteral("sleep 30"));
    progress.SetMaxTimeAfterLastOutput(2);
    progress.SetCommandLine(
        Sh("for i in 1 2 3 4 5 6 7 8 9; do printf \"$i0%%\\r\"; sleep 0.5; done"));
    dots.SetMaxTimeAfterLastOutput(2);
    dots.SetCommandLine(Sh("while :; do printf .; sleep 0.3; done"));
    QElapsedTimer clock;
    clock.start();
    beginning.Execute();
    progress.Execute();
    dots.Execute();
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return rb.terminated && rp.terminated && rd.terminated; }, 20000));
    EXPECT_EQ(beginning.EndStatus(), esTime);
    EXPECT_EQ(progress.EndStatus(), esProcess);
    EXPECT_EQ(progress.Lines().size(), 9);
    EXPECT_EQ(dots.EndStatus(), esTime);
    EXPECT_FALSE(dots.Lines().isEmpty()); // the dots came, as an unfinished line flushed at the end
    EXPECT_TRUE(dots.Lines().last().startsWith(QStringLiteral("...")));
    // Ended at the third tick, not the second.
    EXPECT_GE(clock.elapsed(), 2500);
}

TEST(DosCommand, RefusedTerminationLeavesTheChildRunning) {
    TDosCommand c;
    Recorder r(c);
    bool askedOnMainThread = false;
    c.SetOnTerminateProcess([&](TDosCommand* sender, bool& canTerminate) {
        askedOnMainThread = platform::IsMainThread() && sender == &c && canTerminate;
        canTerminate = false;
    });
    c.SetCommandLine(QStringLiteral("sleep 30"));
    c.Execute();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return c.ProcessInformation().dwProcessId > 0; }));
    const pid_t pid = c.ProcessInformation().dwProcessId;
    c.Stop();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_TRUE(askedOnMainThread);
    EXPECT_EQ(c.EndStatus(), esStop);
    EXPECT_EQ(c.ExitCode(), 259u);
    EXPECT_TRUE(Running(pid));
    ::kill(pid, SIGKILL);
    // Collected by the process layer: no zombie stays behind.
    EXPECT_TRUE(testsupport::WaitUntil([&] { return ProcessState(pid) == 0; }, 5000));
}

TEST(DosCommand, EnvironmentIsTheParentsUnlessLinesAreAdded) {
    const QStringList parent = QProcessEnvironment::systemEnvironment().toStringList();
    TDosCommand c;
    Recorder r(c);
    c.SetCommandLine(QStringLiteral("env"));
    c.Execute();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(QSet<QString>(c.Lines().begin(), c.Lines().end()),
              QSet<QString>(parent.begin(), parent.end()));

    c.Environment().append(QStringLiteral("VELMORA_ADDED=yes it is"));
    c.Execute();
    ASSERT_TRUE(r.WaitEnd(2));
    ASSERT_FALSE(c.Lines().isEmpty());
    EXPECT_EQ(c.Lines().last(), "VELMORA_ADDED=yes it is");
    EXPECT_EQ(c.Lines().size(), parent.size() + 1);
}

TEST(DosCommand, InputLinesAreWrittenInOrder) {
    TDosCommand c;
    Recorder r(c);
    EXPECT_THROW(c.SendLine(QStringLiteral("x"), true), EDosCommand);
    c.SetCommandLine(QStringLiteral("cat"));
    c.Execute();
    c.SendLine(QStringLiteral("x"), false);
    c.SendLine(QString(), false); // sends nothing
    c.SendLine(QStringLiteral("y"), true);
    c.SendLine(QString(), true); // sends CR LF alone
    c.SendLine(QStringLiteral("\u00e9t\u00e9"), true);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return c.Lines().size() == 3; }));
    c.Stop();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(c.Lines(), (QStringList{"xy", "", "\u00e9t\u00e9"}));
    EXPECT_EQ(c.EndStatus(), esStop);
}

TEST(DosCommand, SentLinesAreEchoedIntoTheOutputButNotIntoLines) {
    TDosCommand c;
    Recorder r(c);
    QStringList output;
    c.SetOutputLines(&output);
    c.SetInputToOutput(true);
    c.SetCommandLine(Sh("printf 'name? '; read a; echo \"hi $a\""));
    c.Execute();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !output.isEmpty(); }));
    c.SendLine(QStringLiteral("bob"), true);
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(output, (QStringList{"name? bob\r\n", "hi bob"}));
    EXPECT_EQ(c.Lines(), QStringList{"hi bob"});
    EXPECT_EQ(r.Entire(), (QStringList{"name? bob\r\n", "hi bob"}));
}

TEST(DosCommand, CharactersAndOutputLinesMirror) {
    TDosCommand c;
    Recorder r(c);
    QString chars;
    QStringList output{"kept"};
    c.SetOnNewChar([&](TDosCommand*, QChar ch) { chars.append(ch); });
    c.SetOutputLines(&output);
    c.SetCommandLine(Sh("printf 'ab\\r\\n'; sleep 0.2; printf 'c'; sleep 0.2; printf 'd'"));
    c.Execute();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(chars, "ab\r\ncd");
    EXPECT_EQ(output, (QStringList{"kept", "ab", "cd"}));
    EXPECT_EQ(r.log, (std::vector<QString>{"E:ab", "B:c", "B:cd", "E:cd", "T"}));
}

TEST(DosCommand, CharacterCutByTwoReadsArrivesWholeUnlessAHookDecodes) {
    const QString script = QStringLiteral("printf '\\342'; sleep 0.3; printf '\\202\\254\\n'");
    TDosCommand c;
    Recorder r(c);
    c.SetCommandLine(Sh(script));
    c.Execute();
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(c.Lines(), QStringList{QStringLiteral("\u20ac")});

    std::vector<qint64> chunks;
    c.SetOnCharDecoding([&](TDosCommand* sender, QIODevice& buf) {
        EXPECT_EQ(sender, &c);
        chunks.push_back(buf.size()); // reader thread; read after the run has ended
        return QString::fromLatin1(buf.readAll().toHex()) + ' ';
    });
    c.Execute();
    EXPECT_THROW(c.SetOnCharDecoding(nullptr), EDosCommand);
    EXPECT_THROW(c.SetOnCharEncoding(nullptr), EDosCommand);
    ASSERT_TRUE(r.WaitEnd(2));
    EXPECT_EQ(chunks, (std::vector<qint64>{1, 3}));
    EXPECT_EQ(c.Lines(), QStringList{"e2 82ac0a "});
}

TEST(DosCommand, ExecuteIsRefusedWhileRunningAndWithoutCommandLine) {
    TDosCommand c;
    Recorder r(c);
    try {
        c.Execute();
        FAIL() << "no error";
    } catch (const EDosCommand& e) {
        EXPECT_EQ(e.Message(), "No Commandline to execute");
    }
    c.SetCommandLine(Sh("sleep 0.3; echo first"));
    c.Execute();
    try {
        c.Execute();
        FAIL() << "no error";
    } catch (const EDosCommand& e) {
        EXPECT_EQ(e.Message(), "DosCommand still running");
    }
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(r.log, (std::vector<QString>{"E:first", "T"}));
    c.SetCommandLine(QString());
    EXPECT_THROW(c.Execute(), EDosCommand);
    EXPECT_EQ(c.Lines(), QStringList{"first"}); // cleared only once both checks have passed
}

TEST(DosCommand, ProgramThatDoesNotExistIsReportedAfterExecuteReturns) {
    TDosCommand c;
    Recorder r(c);
    c.SetCommandLine(QStringLiteral("/nonexistent/velmora-child -x"));
    c.Execute();
    ASSERT_TRUE(r.WaitEnd());
    const QString message =
        QStringLiteral("Error creating Process: /nonexistent/velmora-child -x - (No such file or "
                       "directory)");
    EXPECT_EQ(r.log, (std::vector<QString>{"X:ECreateProcessError:" + message, "T"}));
    EXPECT_EQ(c.EndStatus(), esError);
    EXPECT_EQ(c.ExitCode(), 0u);
    EXPECT_TRUE(c.Lines().isEmpty());
    const QString exe = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    EXPECT_EQ(r.boxes, QStringList{exe + "|ECreateProcessError\r\n" + message});

    r.handleErrors = true; // a handler that handles it: no box
    c.Execute();
    ASSERT_TRUE(r.WaitEnd(2));
    EXPECT_EQ(r.boxes.size(), 1);

    c.SetOnExecuteError(nullptr); // no handler: the box alone
    c.Execute();
    ASSERT_TRUE(r.WaitEnd(3));
    EXPECT_EQ(r.boxes.size(), 2);
}

TEST(DosCommand, PipesThatCannotBeCreatedAreReported) {
    TDosCommand c;
    Recorder r(c);
    c.SetCommandLine(QStringLiteral("true"));
    c.Execute(); // creates the timer, so the limit below only meets the run's own descriptors
    ASSERT_TRUE(r.WaitEnd());
    testsupport::PumpEvents(50);

    // Leave exactly two free descriptor numbers: the worker's two events get them, its first
    // pipe does not.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlim_t limit = 0;
    for (int free = 0; free < 2; ++limit)
        if (::fcntl(int(limit), F_GETFD) < 0)
            ++free;
    rlimit low = old;
    low.rlim_cur = limit;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    c.Execute();
    // The worker meets the limit on its own time; the events are not let in until it has
    // (and the limit is lifted), so that their handlers run under the normal limit.
    QElapsedTimer clock;
    clock.start();
    while (c.EndStatus() != esError && clock.elapsed() < 10000)
        QThread::msleep(1);
    ::setrlimit(RLIMIT_NOFILE, &old);
    ASSERT_TRUE(r.WaitEnd(2));
    EXPECT_EQ(r.log.at(r.log.size() - 2),
              "X:ECreatePipeError:Error creating Pipe: Too many open files");
    EXPECT_EQ(c.EndStatus(), esError);
}

TEST(DosCommand, FailedWriteToTheChildIsAnAssertionFailure) {
    TDosCommand c;
    Recorder r(c);
    r.handleErrors = true;
    c.SetCommandLine(Sh("exec 0<&-; exec sleep 30"));
    c.Execute();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return c.ProcessInformation().dwProcessId > 0; }));
    const pid_t pid = c.ProcessInformation().dwProcessId;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] { return !QFile::exists(QStringLiteral("/proc/%1/fd/0").arg(pid)); }));
    c.SendLine(QStringLiteral("x"), true);
    ASSERT_TRUE(r.WaitEnd());
    EXPECT_EQ(r.log, (std::vector<QString>{"X:EAssertionFailed:Assertion failure", "T"}));
    EXPECT_EQ(c.EndStatus(), esError);
    EXPECT_TRUE(Running(pid)); // a failure does not kill the child
    ::kill(pid, SIGKILL);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return ProcessState(pid) == 0; }, 5000));
}

TEST(DosCommand, NextRunStartsFromOnTerminatedWithFreshLinesAndHandlers) {
    TDosCommand c;
    Recorder r(c);
    QStringList seenBySecondHandler;
    c.SetOnTerminated([&](TDosCommand* sender) {
        ++r.terminated;
        if (r.terminated == 1) {
            sender->SetCommandLine(QStringLiteral("echo second"));
            sender->Execute();
            EXPECT_TRUE(sender->Lines().isEmpty());
        }
    });
    c.SetCommandLine(Sh("sleep 0.2; echo first"));
    c.Execute();
    // Takes effect from the next run only.
    c.SetOnNewLine(
        [&](TDosCommand*, const QString& line, TOutputType) { seenBySecondHandler.append(line); });
    ASSERT_TRUE(r.WaitEnd(2));
    EXPECT_EQ(c.Lines(), QStringList{"second"});
    EXPECT_EQ(r.Entire(), QStringList{"first"});
    EXPECT_EQ(seenBySecondHandler, QStringList{"second"});
}

TEST(DosCommand, DestroyingTheComponentDuringARunEndsTheRun) {
    // While the worker waits for the child.
    {
        auto c = std::make_unique<TDosCommand>();
        int events = 0;
        c->SetOnTerminated([&](TDosCommand*) { ++events; });
        c->SetCommandLine(QStringLiteral("sleep 30"));
        c->Execute();
        ASSERT_TRUE(
            testsupport::WaitUntil([&] { return c->ProcessInformation().dwProcessId > 0; }));
        const pid_t pid = c->ProcessInformation().dwProcessId;
        QElapsedTimer clock;
        clock.start();
        c.reset();
        EXPECT_LT(clock.elapsed(), 3000);
        testsupport::PumpEvents(100);
        EXPECT_EQ(events, 0);
        EXPECT_TRUE(testsupport::WaitUntil([&] { return ProcessState(pid) == 0; }, 5000));
    }
    // From inside OnTerminateProcess, while the worker waits for the answer.
    {
        auto c = std::make_unique<TDosCommand>();
        bool asked = false;
        c->SetOnTerminateProcess([&](TDosCommand*, bool& canTerminate) {
            asked = true;
            c.reset();
            canTerminate = false; // nobody waits for this answer any more
        });
        c->SetCommandLine(QStringLiteral("sleep 30"));
        c->Execute();
        ASSERT_TRUE(
            testsupport::WaitUntil([&] { return c->ProcessInformation().dwProcessId > 0; }));
        const pid_t pid = c->ProcessInformation().dwProcessId;
        c->Stop();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return asked; }));
        EXPECT_FALSE(c);
        EXPECT_TRUE(testsupport::WaitUntil([&] { return ProcessState(pid) == 0; }, 5000));
    }
    // From inside OnNewLine, with more deliveries queued behind it.
    {
        auto c = std::make_unique<TDosCommand>();
        int lines = 0;
        c->SetOnNewLine([&](TDosCommand*, const QString&, TOutputType) {
            ++lines;
            c.reset();
        });
        c->SetCommandLine(Sh("seq 1 1000; exec sleep 30"));
        c->Execute();
        ASSERT_TRUE(testsupport::WaitUntil([&] { return !c; }));
        testsupport::PumpEvents(100);
        EXPECT_EQ(lines, 1);
    }
}
