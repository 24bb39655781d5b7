// The runner's cost per run: a child that ends at once (/bin/true), run again and again from the
// previous run's end handler, against QProcess starting and awaiting the same child. The gap is
// what every queue entry pays on top of the converter's own time.
#include "doscommand/doscommand.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRuns = 200;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<double> RunnerRuns() {
    std::vector<double> times;
    TDosCommand runner;
    runner.SetCommandLine(QStringLiteral("/bin/true"));
    QElapsedTimer clock;
    bool done = false;
    runner.SetOnTerminated([&](TDosCommand*) {
        times.push_back(clock.nsecsElapsed() / 1e6);
        if (static_cast<int>(times.size()) == kRuns) {
            done = true;
            return;
        }
        clock.restart();
        runner.Execute();
    });
    clock.start();
    runner.Execute();
    while (!done)
        // Blocks until something arrives: the overload with a time limit would spin and steal
        // the runner threads' core.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return times;
}

std::vector<double> QProcessRuns() {
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer clock;
        clock.start();
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(QStringLiteral("/bin/true"), {});
        child.waitForFinished(-1);
        times.push_back(clock.nsecsElapsed() / 1e6);
    }
    return times;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double runner = Median(RunnerRuns());
    const double qprocess = Median(QProcessRuns());
    std::printf("per run, Execute to OnTerminated, median of %d:\n", kRuns);
    std::printf("  runner:   %7.3f ms\n  QProcess: %7.3f ms\n  ratio:    %7.2f\n", runner, qprocess,
                runner / qprocess);
    return 0;
}
