// The cost of one rain step including its painting: the model's step, the region of cells it
// asks to repaint and the replay of its drawing onto a raster surface, as a paint event does it.
// Once at the about box's real size and once with the drop table full (5000 drops).
#include "about/about.h"
#include "about/rain.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QTimer>

#include <benchmark/benchmark.h>

namespace {

void StepAndPaint(benchmark::State& state, QSize outer, QSize client, QRect panel) {
    rain::rainAlphabet = QStringLiteral("qen");
    TRain::SeedRandom(1);
    TRainCanvas canvas;
    canvas.SetSurfaceSize(client);
    TRain model;
    model.InitMatrix(&canvas, outer);
    QImage surface(client, QImage::Format_ARGB32_Premultiplied);
    surface.fill(Qt::black);
    canvas.TakeFullRepaint();
    for (auto _ : state) {
        model.UpdateMatrix();
        const QRegion dirty = canvas.TakeDirtyRegion() - panel;
        QPainter painter(&surface);
        painter.setClipRegion(dirty);
        canvas.Paint(painter);
    }
    state.counters["drops"] = rain::dropCount;
}

// About box: client 446 x 374 inside a thin tool-window frame.
void BM_RainStepRealSize(benchmark::State& state) {
    StepAndPaint(state, {452, 397}, {446, 374}, {48, 42, 350, 291});
}
BENCHMARK(BM_RainStepRealSize)->Unit(benchmark::kMicrosecond);

// 2600 columns: the table holds its maximum of 5000 drops.
void BM_RainStepFullTable(benchmark::State& state) {
    StepAndPaint(state, {2600 * 8, 397}, {2600 * 8, 374}, {48, 42, 350, 291});
}
BENCHMARK(BM_RainStepFullTable)->Unit(benchmark::kMicrosecond);

// The real window on the offscreen platform: the timer's step, Qt's repaint of the cells
// into the window's backing store and its flush.
void BM_AboutBoxStep(benchmark::State& state) {
    auto* box = new TAboutBox;
    box->tmTimer->stop();
    box->show();
    QCoreApplication::processEvents();
    for (auto _ : state) {
        box->tmTimerTimer();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
    delete box;
}
BENCHMARK(BM_AboutBoxStep)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
