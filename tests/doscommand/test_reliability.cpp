// Many runs in a row leave nothing behind: no descriptor, no thread, no child process.
#include "doscommand/doscommand.h"
#include "support/wait.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

int Count(const char* folder) {
    return int(QDir(QString::fromLatin1(folder))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

// Processes whose parent is this one, zombies included.
int Children() {
    int children = 0;
    const QString self = QString::number(::getpid());
    for (const QString& pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1) == self.toLatin1())
            ++children;
    }
    return children;
}

} // namespace

TEST(DosCommandReliability, FiveHundredRunsLeaveNoDescriptorThreadOrChild) {
    TDosCommand c;
    int terminated = 0;
    int lines = 0;
    c.SetOnTerminated([&](TDosCommand*) { ++terminated; });
    c.SetOnNewLine([&](TDosCommand*, const QString&, TOutputType) { ++lines; });
    // One run first, so that what lives as long as the program (the timer, the tick source)
    // exists before counting.
    c.SetCommandLine(QStringLiteral("true"));
    c.Execute();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return terminated == 1; }));
    testsupport::PumpEvents(100);
    const int fds = Count("/proc/self/fd");
    const int threads = Count("/proc/self/task");
    const int children = Children();

    // A mix of the ways a run ends: by itself with output, by Stop, and by a failed start.
    for (int i = 0; i < 500; ++i) {
        const int before = terminated;
        switch (i % 5) {
        case 3:
            c.SetCommandLine(QStringLiteral("sleep 10"));
            c.Execute();
            c.Stop();
            break;
        case 4:
            c.SetCommandLine(QStringLiteral("/nonexistent/program"));
            c.SetOnExecuteError(
                [](TDosCommand*, const Exception&, bool& handled) { handled = true; });
            c.Execute();
            break;
        default:
            c.SetCommandLine(QStringLiteral("echo run %1").arg(i));
            c.Execute();
            break;
        }
        ASSERT_TRUE(testsupport::WaitUntil([&] { return terminated == before + 1; }))
            << "run " << i;
    }
    EXPECT_EQ(lines, 300);
    // Worker objects are disposed of through the main thread's queue; let it run.
    EXPECT_TRUE(testsupport::WaitUntil(
        [&] {
            return Count("/proc/self/fd") == fds && Count("/proc/self/task") == threads &&
                   Children() == children;
        },
        5000));
    EXPECT_EQ(Count("/proc/self/fd"), fds);
    EXPECT_EQ(Count("/proc/self/task"), threads);
    EXPECT_EQ(Children(), children);
}
