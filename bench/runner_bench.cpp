// The process runner's speed: throughput against QProcess and a bare read loop, the delay of a
// line from the child's write to OnNewLine, and how often the runner wakes while the child is
// silent. A small timed program: it needs the Qt event loop that delivers the runner's events.
#include "doscommand/doscommand.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr long Lines = 200000;
const QString Child = QStringLiteral(RUNNER_CHILD);

long long NowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

// Checks that numbered lines arrive once each and in order.
struct LineCheck {
    long next = 0;
    bool ok = true;
    void See(QStringView line) {
        if (line.size() != 100 || line.left(9).toLong() != next)
            ok = false;
        ++next;
    }
    bool Complete() const { return ok && next == Lines; }
};

double RunnerThroughput(bool& ok) {
    TDosCommand runner;
    LineCheck check;
    QEventLoop loop;
    runner.SetOnNewLine([&](TDosCommand*, const QString& line, TOutputType type) {
        if (type == otEntireLine)
            check.See(line);
    });
    runner.SetOnTerminated([&](TDosCommand*) { loop.quit(); });
    runner.SetCommandLine(Child + QStringLiteral(" lines %1").arg(Lines));
    QElapsedTimer clock;
    clock.start();
    runner.Execute();
    loop.exec();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    ok = check.Complete() && runner.EndStatus() == esProcess;
    return ms;
}

double QProcessThroughput(bool& ok) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    LineCheck check;
    QEventLoop loop;
    QObject::connect(&process, &QProcess::readyRead, [&] {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine();
            check.See(QString::fromUtf8(line.constData(), line.size() - 1));
        }
    });
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    process.start(Child, {QStringLiteral("lines"), QString::number(Lines)});
    loop.exec();
    const double ms = double(clock.nsecsElapsed()) / 1e6;
    ok = check.Complete();
    return ms;
}

double BareReadLoop(bool& ok) {
    QElapsedTimer clock;
    clock.start();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) < 0)
        return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    const QByteArray program = Child.toLocal8Bit();
    const QByteArray count = QByteArray::number(qlonglong(Lines));
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("lines"),
                    const_cast<char*>(count.constData()), nullptr};
    pid_t pid = 0;
    posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    static char buffer[1 << 16];
    long lines = 0;
    for (;;) {
        const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (const char* p = buffer;
             (p = static_cast<const char*>(std::memchr(p, '\n', size_t(buffer + got - p)))); ++p)
            ++lines;
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ok = lines == Lines;
    return double(clock.nsecsElapsed()) / 1e6;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void Throughput() {
    std::vector<double> runner, qprocess, bare;
    bool allOk = true;
    for (int round = 0; round < 5; ++round) {
        bool ok = false;
        runner.push_back(RunnerThroughput(ok));
        allOk = allOk && ok;
        qprocess.push_back(QProcessThroughput(ok));
        allOk = allOk && ok;
        bare.push_back(BareReadLoop(ok));
        allOk = allOk && ok;
    }
    const double r = Median(runner), q = Median(qprocess), b = Median(bare);
    std::printf("throughput, %ld lines of 100 characters (median of 5)\n", Lines);
    std::printf("  runner (Execute to OnTerminated)  %8.1f ms\n", r);
    std::printf("  QProcess readyRead + readLine     %8.1f ms\n", q);
    std::printf("  bare read loop                    %8.1f ms\n", b);
    std::printf("  runner / QProcess = %.2f (goal <= 1.25); runner / bare loop = %.2f\n", r / q,
                r / b);
    std::printf("  every line exactly once, in order: %s\n", allOk ? "yes" : "NO");
}

void Latency() {
    constexpr int Count = 500;
    TDosCommand runner;
    std::vector<double> delays;
    QEventLoop loop;
    runner.SetOnNewLine([&](TDosCommand*, const QString& line, TOutputType type) {
        if (type == otEntireLine)
            delays.push_back(double(NowNs() - line.toLongLong()) / 1e6);
    });
    runner.SetOnTerminated([&](TDosCommand*) { loop.quit(); });
    runner.SetCommandLine(Child + QStringLiteral(" ticks %1 20").arg(Count));
    runner.Execute();
    loop.exec();
    std::sort(delays.begin(), delays.end());
    if (delays.empty())
        return;
    std::printf("latency, child write to OnNewLine on the main thread, %zu lines every 20 ms\n",
                delays.size());
    std::printf("  median %.3f ms (goal < 2), p99 %.3f ms (goal < 10), max %.3f ms\n",
                delays[delays.size() / 2], delays[delays.size() * 99 / 100], delays.back());
}

// Voluntary context switches of every thread of this process, by thread id.
std::vector<std::pair<QString, long>> Switches() {
    std::vector<std::pair<QString, long>> result;
    for (const QString& tid :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile status(QStringLiteral("/proc/self/task/%1/status").arg(tid));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        QString name;
        long switches = 0;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("Name:"))
                name = QString::fromLatin1(line.mid(5).trimmed());
            if (line.startsWith("voluntary_ctxt_switches:"))
                switches = line.mid(24).trimmed().toLong();
        }
        result.emplace_back(tid + QLatin1Char(' ') + name, switches);
    }
    return result;
}

void IdleCost() {
    TDosCommand runner;
    QEventLoop loop;
    runner.SetOnTerminated([&](TDosCommand*) { loop.quit(); });
    runner.SetCommandLine(Child + QStringLiteral(" silent 7"));
    runner.Execute();
    std::vector<std::pair<QString, long>> before, after;
    QTimer::singleShot(1000, [&] { before = Switches(); });
    QTimer::singleShot(6000, [&] { after = Switches(); });
    loop.exec();
    std::printf("idle cost, silent child, wake-ups per thread over 5 s\n");
    for (const auto& [thread, count] : after)
        for (const auto& [thread0, count0] : before)
            if (thread == thread0)
                std::printf("  %-28s %ld\n", qPrintable(thread), count - count0);
    std::printf("  (the main thread's count includes the two measuring timers)\n");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool all = args.size() < 2;
    if (all || args.contains(QStringLiteral("throughput")))
        Throughput();
    if (args.contains(QStringLiteral("runner-only"))) { // for profiling
        bool ok = false;
        for (int i = 0; i < 5; ++i)
            std::printf("runner %.1f ms\n", RunnerThroughput(ok));
    }
    if (all || args.contains(QStringLiteral("latency")))
        Latency();
    if (all || args.contains(QStringLiteral("idle")))
        IdleCost();
    return 0;
}
