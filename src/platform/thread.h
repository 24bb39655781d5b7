#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

// Base of the program's worker threads. The creator (main thread) constructs the object and
// calls Start(); the body runs on the new thread; afterwards the end handler runs on the main
// thread while this thread waits for it; with self-disposal on, the thread then deletes the
// object itself and nobody may touch it again.
class TThreadBase {
public:
    TThreadBase() = default;
    virtual ~TThreadBase();
    TThreadBase(const TThreadBase&) = delete;
    TThreadBase& operator=(const TThreadBase&) = delete;

    void Start();
    // Sets the stop request; the body polls Terminated().
    virtual void Terminate();
    bool Terminated() const noexcept { return FTerminated.load(std::memory_order_acquire); }
    // Blocks until the body and the end handler have finished. Not for self-disposing threads.
    void WaitFor();
    bool Finished() const noexcept { return FFinished.load(std::memory_order_acquire); }

    void SetFreeOnTerminate(bool value) noexcept { FFreeOnTerminate = value; }
    void SetOnTerminate(std::function<void(TThreadBase*)> handler) { FOnTerminate = std::move(handler); }
    // The error that escaped the body, if any; valid once the body has ended.
    std::exception_ptr FatalException() const { return FFatalException; }

protected:
    virtual void Execute() = 0;

private:
    void Run();

    std::thread FThread;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    bool FFreeOnTerminate = false;
    std::function<void(TThreadBase*)> FOnTerminate;
    std::exception_ptr FFatalException;
};
