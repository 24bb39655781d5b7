// Event objects, the wait for any of several, the thread base and main-thread delivery.
#include "platform/events.h"
#include "platform/mainthread.h"
#include "platform/syserror.h"
#include "platform/thread.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

using platform::TEvent;
using platform::TWaitable;
using platform::WaitForAny;
using platform::WaitTimeout;

TEST(WaitForAny, FirstSignalledInOrderWinsAndOnlyItIsConsumed) {
    TEvent a(false, false), manual(true, false), c(false, false);
    TWaitable* const all[] = {&a, &manual, &c};

    c.SetEvent();
    a.SetEvent();
    a.SetEvent(); // set twice before a wait: still one signal
    EXPECT_EQ(WaitForAny(all, 0), 0);
    EXPECT_EQ(WaitForAny(all, 0), 2); // c was not consumed by the first wait
    EXPECT_EQ(WaitForAny(all, 0), WaitTimeout);

    manual.SetEvent();
    c.SetEvent();
    EXPECT_EQ(WaitForAny(all, 0), 1);
    EXPECT_EQ(WaitForAny(all, 0), 1); // manual reset stays signalled
    manual.ResetEvent();
    EXPECT_EQ(WaitForAny(all, 0), 2);
    EXPECT_EQ(WaitForAny(all, 0), WaitTimeout);

    TEvent initiallySet(false, true);
    EXPECT_TRUE(platform::WaitForSingle(initiallySet, 0));
    EXPECT_FALSE(platform::WaitForSingle(initiallySet, 0));
}

TEST(WaitForAny, BlockedWaiterWakesOnSignalAndTimeoutIsKept) {
    TEvent e(false, false);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(platform::WaitForSingle(e, 60));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(60));

    std::atomic<int> result{-2};
    std::thread waiter([&] { result = WaitForAny({&e}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result.load(), -2);
    e.SetEvent();
    waiter.join();
    EXPECT_EQ(result.load(), 0);
}

TEST(WaitForAny, AutoResetSignalWakesExactlyOneOfTwoWaiters) {
    TEvent e(false, false);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            platform::WaitForSingle(e);
            ++woken;
        });
    e.SetEvent();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return woken.load() == 1; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(woken.load(), 1);
    e.SetEvent();
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 2);
}

TEST(WaitForAny, DescriptorWaitableIsSignalledWhileReadable) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    platform::TFdWaitable readable(fds[0]);
    TEvent never(false, false);
    EXPECT_EQ(WaitForAny({&never, &readable}, 0), WaitTimeout);
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    EXPECT_EQ(WaitForAny({&never, &readable}, 0), 1);
    EXPECT_EQ(WaitForAny({&never, &readable}, 0), 1); // waiting consumes nothing
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(MainThread, PostsAndSendsFromSeveralThreadsKeepTheirOrder) {
    std::vector<std::pair<int, int>> seen; // (thread, sequence), touched on the main thread only
    std::atomic<bool> offMainThread{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                auto record = [&, t, i] {
                    if (!platform::IsMainThread())
                        offMainThread = true;
                    seen.emplace_back(t, i);
                };
                if (i % 50 == 49)
                    platform::SendToMainThread(record); // returns only once it has run
                else
                    platform::PostToMainThread(record);
            }
        });
    ASSERT_TRUE(testsupport::WaitUntil([&] { return seen.size() == 900; }));
    for (auto& t : threads)
        t.join();
    EXPECT_FALSE(offMainThread.load());
    int next[3] = {0, 0, 0};
    for (auto [t, i] : seen)
        EXPECT_EQ(i, next[t]++) << "thread " << t;
}

namespace {

class TTestThread : public TThreadBase {
public:
    std::function<void(TTestThread&)> body;
    bool* destroyed = nullptr;
    ~TTestThread() override {
        if (destroyed)
            *destroyed = true;
    }
    using TThreadBase::Synchronize;

protected:
    void Execute() override { body(*this); }
};

} // namespace

TEST(ThreadBase, EndHandlerRunsOnMainThreadAfterBodyAndSeesItsError) {
    std::vector<QString> order;
    bool destroyed = false;
    bool handlerOnMain = false;
    QString error;
    auto* thread = new TTestThread; // disposes of itself
    thread->destroyed = &destroyed;
    thread->body = [&](TTestThread&) {
        platform::PostToMainThread([&] { order.push_back("posted by body"); });
        throw EAssertionFailed(QStringLiteral("Assertion failure"));
    };
    thread->SetFreeOnTerminate(true);
    thread->SetOnTerminate([&](TThreadBase* sender) {
        handlerOnMain = platform::IsMainThread();
        error = platform::ExceptionMessage(sender->FatalException());
        order.push_back("end handler");
    });
    thread->Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return destroyed; }));
    EXPECT_TRUE(handlerOnMain);
    EXPECT_EQ(error, "Assertion failure");
    EXPECT_EQ(order, (std::vector<QString>{"posted by body", "end handler"}));
}

TEST(ThreadBase, SynchronizeWaitsForTheMainThreadAndCarriesErrorsBack) {
    std::atomic<int> step{0};
    QString caught;
    TTestThread thread;
    thread.body = [&](TTestThread& self) {
        int value = 0;
        self.Synchronize([&] { value = platform::IsMainThread() ? 42 : -1; });
        step = value;
        try {
            self.Synchronize([] { throw EAssertionFailed(QStringLiteral("from main")); });
        } catch (const Exception& e) {
            caught = e.Message();
        }
    };
    thread.Start();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return thread.Finished(); }));
    thread.WaitFor();
    EXPECT_EQ(step.load(), 42);
    EXPECT_EQ(caught, "from main");
}

TEST(ThreadBase, AbandonReleasesAThreadWaitingForTheMainThread) {
    std::atomic<bool> inBody{false};
    std::atomic<int> synchronizeResult{-1};
    bool ran = false;
    bool handlerRan = false;
    TTestThread thread;
    thread.body = [&](TTestThread& self) {
        inBody = true;
        synchronizeResult = self.Synchronize([&] { ran = true; }) ? 1 : 0;
    };
    thread.SetOnTerminate([&](TThreadBase*) { handlerRan = true; });
    thread.Start();
    // The main thread does not run its queue here: without Abandon, WaitFor would deadlock.
    while (!inBody)
        std::this_thread::yield();
    thread.Abandon();
    thread.WaitFor();
    EXPECT_EQ(synchronizeResult.load(), 0);
    testsupport::PumpEvents(50); // the queued requests run now and must do nothing
    EXPECT_FALSE(ran);
    EXPECT_FALSE(handlerRan);
}
