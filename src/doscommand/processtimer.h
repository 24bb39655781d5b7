#pragma once

#include "platform/events.h"

#include <atomic>
#include <cstddef>
#include <mutex>

// Whole seconds of one run: since it began and since the child's output last held a line break.
// Threads: Beginning, Ending, Enabled, TimerProc and Tick on the main thread (the tick source is a
// timer of the main thread's event loop); NewOutput and the two counters on the worker. Owned by
// the component; every run reuses it.
class TProcessTimer {
public:
    TProcessTimer();
    // Stops the tick source; a failure to do so is reported on stderr, since a destructor must
    // not raise.
    ~TProcessTimer();
    TProcessTimer(const TProcessTimer&) = delete;
    TProcessTimer& operator=(const TProcessTimer&) = delete;

    // Both counters to 0, ticks on. Raises EProcessTimer "could not start timer".
    void Beginning();
    // Ticks off. Raises EProcessTimer "could not kill timer".
    void Ending();
    void NewOutput();
    int SinceBeginning() const;
    int SinceLastOutput() const;
    // The run's time limits, in seconds (0 or less: none), are exceeded: a counter is strictly
    // greater than its limit, so a limit of N ends the run at tick N + 1.
    bool LimitExceeded(int AMaxTimeAfterBeginning, int AMaxTimeAfterLastOutput) const;

    bool Enabled() const noexcept { return FEnabled; }
    void SetEnabled(bool AValue);
    // Signalled (automatic reset) at every tick.
    platform::TEvent& Event() noexcept { return FEvent; }
    // The tick source's id while enabled.
    int ID() const noexcept { return FID; }

    // The tick source's callback: one second has passed for the timer registered under AId;
    // an id that is not registered (a tick after the timer stopped) is ignored.
    static void TimerProc(int AId);
    void Tick();

    // Number of (id, timer) pairs in the module-wide registry.
    static std::size_t TimerListCount();

private:
    mutable std::mutex FCriticalSection;
    bool FEnabled = false;
    platform::TEvent FEvent{false, false};
    int FID = 0;
    std::atomic<int> FSinceBeginning{0};
    std::atomic<int> FSinceLastOutput{0};
};
