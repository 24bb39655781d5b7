#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

// Base of the program's worker threads. The creator (main thread) constructs the object and
// calls Start(); the body runs on the new thread; afterwards the end handler runs on the main
// thread while this thread waits for it. With self-disposal on, the object is then deleted on
// the main thread (after its thread has been joined) and its creator must not touch it again
// once the end handler has returned. No thread is ever left detached.
class TThreadBase {
public:
    TThreadBase();
    // Joins a thread that is still running; a derived class whose body may block must stop it
    // in its own destructor first.
    virtual ~TThreadBase();
    TThreadBase(const TThreadBase&) = delete;
    TThreadBase& operator=(const TThreadBase&) = delete;

    void Start();
    // Sets the stop request; the body polls Terminated().
    virtual void Terminate();
    bool Terminated() const noexcept { return FTerminated.load(std::memory_order_acquire); }
    // Blocks until the body and the end handler have finished. On the main thread this must not
    // be called while the body may still wait for the main thread, unless Abandon() came first.
    void WaitFor();
    bool Finished() const noexcept { return FFinished.load(std::memory_order_acquire); }

    // Both are set before Start().
    void SetFreeOnTerminate(bool value) noexcept { FFreeOnTerminate = value; }
    void SetOnTerminate(std::function<void(TThreadBase*)> handler) {
        FOnTerminate = std::move(handler);
    }
    // The error that escaped the body, if any; valid once the body has ended (and therefore in
    // the end handler).
    std::exception_ptr FatalException() const { return FFatalException; }

    // Main thread only: the creator is going away. From now on Synchronize and the end handler
    // return at once without running anything on the main thread (one that is running there
    // right now finishes, but its thread no longer waits for it), so WaitFor cannot deadlock.
    void Abandon();

protected:
    virtual void Execute() = 0;
    // Names the calling thread for debuggers and /proc (at most 15 characters are kept).
    static void NameThisThread(const char* AName) noexcept;

    // Runs fn on the main thread, through the same queue as every other delivery, while this
    // thread waits; an error that fn raises is raised again here. Returns false without waiting
    // for fn when the thread has been abandoned.
    bool Synchronize(std::function<void()> fn);

private:
    struct TShared;
    enum class TErrors { ToCaller, StayOnMainThread };
    bool RunOnMainThread(std::function<void()> fn, TErrors errors);
    void Run();

    std::thread FThread;
    std::shared_ptr<TShared> FShared;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    bool FFreeOnTerminate = false;
    std::function<void(TThreadBase*)> FOnTerminate;
    std::exception_ptr FFatalException;
};
