// The process timer: ticks from the main thread's event loop, its registry and the limits.
#include "doscommand/doscommandtypes.h"
#include "doscommand/processtimer.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <thread>

TEST(ProcessTimer, TicksArriveOnlyThroughTheMainThreadsEventLoop) {
    TProcessTimer timer;
    timer.Beginning();
    // Without the event loop running, no second is counted (ticks are not made up later).
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    EXPECT_EQ(timer.SinceBeginning(), 0);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return timer.SinceBeginning() >= 2; }, 5000));
    EXPECT_TRUE(platform::WaitForSingle(timer.Event(), 0));
    timer.Ending();
    const int counted = timer.SinceBeginning();
    testsupport::PumpEvents(1300);
    EXPECT_EQ(timer.SinceBeginning(), counted); // counters keep their values while disabled
}

TEST(ProcessTimer, RegistryHoldsOnePairPerEnabledTimer) {
    const std::size_t before = TProcessTimer::TimerListCount();
    {
        TProcessTimer a, b;
        a.SetEnabled(true);
        a.SetEnabled(true);
        EXPECT_EQ(TProcessTimer::TimerListCount(), before + 1);
        b.Beginning();
        EXPECT_EQ(TProcessTimer::TimerListCount(), before + 2);
        EXPECT_NE(a.ID(), b.ID());
        b.Ending();
        b.SetEnabled(false); // already off: nothing happens
        EXPECT_EQ(TProcessTimer::TimerListCount(), before + 1);
    } // destroying an enabled timer leaves the registry
    EXPECT_EQ(TProcessTimer::TimerListCount(), before);
}

TEST(ProcessTimer, TickForUnknownIdIsIgnoredAndLimitsAreStrictlyGreater) {
    TProcessTimer timer;
    timer.Beginning();
    const int id = timer.ID();
    TProcessTimer::TimerProc(id + 1000);
    EXPECT_EQ(timer.SinceBeginning(), 0);

    TProcessTimer::TimerProc(id);
    TProcessTimer::TimerProc(id);
    EXPECT_EQ(timer.SinceBeginning(), 2);
    EXPECT_EQ(timer.SinceLastOutput(), 2);
    EXPECT_FALSE(timer.LimitExceeded(2, 0));
    EXPECT_FALSE(timer.LimitExceeded(0, 2));
    EXPECT_TRUE(timer.LimitExceeded(1, 0));
    EXPECT_TRUE(timer.LimitExceeded(0, 1));
    EXPECT_FALSE(timer.LimitExceeded(0, 0));
    EXPECT_FALSE(timer.LimitExceeded(-1, -1));

    timer.NewOutput(); // a line break restarts only the silence count
    TProcessTimer::TimerProc(id);
    EXPECT_EQ(timer.SinceBeginning(), 3);
    EXPECT_EQ(timer.SinceLastOutput(), 1);
    EXPECT_TRUE(timer.LimitExceeded(2, 5));
    EXPECT_FALSE(timer.LimitExceeded(3, 1));

    timer.Ending();
    TProcessTimer::TimerProc(id); // a tick after the timer stopped
    EXPECT_EQ(timer.SinceBeginning(), 3);
    timer.Beginning(); // counters start again from 0
    EXPECT_EQ(timer.SinceBeginning(), 0);
    EXPECT_EQ(timer.SinceLastOutput(), 0);
}
