#include "doscommand/processtimer.h"

#include "doscommand/doscommandtypes.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QPointer>
#include <QTimerEvent>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

struct TTimerPair {
    int id;
    TProcessTimer* timer;
};

// The module-wide registry from tick-source ids to timers; the tick callback only knows the id.
class TTimerList {
public:
    ~TTimerList() {
        // A timer still registered at shutdown was never stopped: its object is gone or leaked.
        if (!FList.empty())
            std::fputs("Assertion failure (doscommand): process timer still registered at exit\n",
                       stderr);
    }

    void Add(int id, TProcessTimer* timer) {
        std::lock_guard lock(FLock);
        FList.push_back(std::make_unique<TTimerPair>(TTimerPair{id, timer}));
    }

    void Remove(int id) {
        std::lock_guard lock(FLock);
        for (auto it = FList.begin(); it != FList.end(); ++it) {
            if ((*it)->id == id) {
                FList.erase(it);
                return;
            }
        }
    }

    TProcessTimer* Find(int id) {
        std::lock_guard lock(FLock);
        for (const auto& pair : FList)
            if (pair->id == id)
                return pair->timer;
        return nullptr;
    }

    std::size_t Count() {
        std::lock_guard lock(FLock);
        return FList.size();
    }

private:
    std::mutex FLock;
    std::vector<std::unique_ptr<TTimerPair>> FList;
};

TTimerList TimerList;

// Receives the event loop's timer events on the main thread and hands their ids to TimerProc.
class TTickSource final : public QObject {
public:
    using QObject::QObject;

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::Timer) {
            TProcessTimer::TimerProc(static_cast<QTimerEvent*>(e)->timerId());
            return true;
        }
        return QObject::event(e);
    }
};

// One tick source per application object, owned by it so that it goes with the event loop.
TTickSource* TickSource() {
    static QPointer<TTickSource> source;
    if (!source) {
        if (auto* app = QCoreApplication::instance())
            source = new TTickSource(app); // owned by the application object
    }
    return source;
}

} // namespace

TProcessTimer::TProcessTimer() = default;

TProcessTimer::~TProcessTimer() {
    try {
        SetEnabled(false);
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
}

void TProcessTimer::Beginning() {
    FSinceBeginning.store(0);
    FSinceLastOutput.store(0);
    SetEnabled(true);
}

void TProcessTimer::Ending() {
    SetEnabled(false);
}

void TProcessTimer::NewOutput() {
    std::lock_guard lock(FCriticalSection);
    FSinceLastOutput.store(0);
}

int TProcessTimer::SinceBeginning() const {
    std::lock_guard lock(FCriticalSection);
    return FSinceBeginning.load();
}

int TProcessTimer::SinceLastOutput() const {
    std::lock_guard lock(FCriticalSection);
    return FSinceLastOutput.load();
}

bool TProcessTimer::LimitExceeded(int AMaxTimeAfterBeginning, int AMaxTimeAfterLastOutput) const {
    return (AMaxTimeAfterBeginning > 0 && SinceBeginning() > AMaxTimeAfterBeginning) ||
           (AMaxTimeAfterLastOutput > 0 && SinceLastOutput() > AMaxTimeAfterLastOutput);
}

void TProcessTimer::SetEnabled(bool AValue) {
    if (AValue == FEnabled)
        return;
    FEnabled = AValue;
    if (AValue) {
        TTickSource* source = TickSource();
        QAbstractEventDispatcher* dispatcher =
            source ? QAbstractEventDispatcher::instance(source->thread()) : nullptr;
        FID = dispatcher ? dispatcher->registerTimer(1000, Qt::PreciseTimer, source) : 0;
        if (FID <= 0) {
            FEnabled = false;
            FID = 0;
            throw EProcessTimer(QStringLiteral("could not start timer"));
        }
        TimerList.Add(FID, this);
    } else {
        // The pair leaves the registry even when the tick source refuses: a pair left behind
        // would hand a later tick to a timer that may already be gone.
        TimerList.Remove(FID);
        TTickSource* source = TickSource();
        QAbstractEventDispatcher* dispatcher =
            source ? QAbstractEventDispatcher::instance(source->thread()) : nullptr;
        const bool killed = dispatcher && dispatcher->unregisterTimer(FID);
        FID = 0;
        // Without an application object the event loop and its timers are already gone.
        if (!killed && QCoreApplication::instance())
            throw EProcessTimer(QStringLiteral("could not kill timer"));
    }
}

void TProcessTimer::TimerProc(int AId) {
    if (TProcessTimer* timer = TimerList.Find(AId))
        timer->Tick();
}

void TProcessTimer::Tick() {
    FSinceBeginning.fetch_add(1);
    FSinceLastOutput.fetch_add(1);
    FEvent.SetEvent();
}

std::size_t TProcessTimer::TimerListCount() {
    return TimerList.Count();
}
