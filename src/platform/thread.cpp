#include "platform/thread.h"

#include "platform/mainthread.h"

#include <condition_variable>
#include <cstring>
#include <mutex>

#include <pthread.h>

// State shared between the thread and the closures it queues for the main thread, so that a
// closure that runs after Abandon() (or after the object is gone) touches nothing else.
struct TThreadBase::TShared {
    std::mutex mutex;
    std::condition_variable changed;
    bool abandoned = false;
};

namespace {

struct TCall {
    std::function<void()> fn;
    bool done = false;
    std::exception_ptr error;
};

} // namespace

TThreadBase::TThreadBase() : FShared(std::make_shared<TShared>()) {}

TThreadBase::~TThreadBase() {
    if (FThread.joinable()) {
        if (FThread.get_id() == std::this_thread::get_id())
            FThread.detach(); // cannot happen with the disposal below, but never self-join
        else
            FThread.join();
    }
}

void TThreadBase::NameThisThread(const char* AName) noexcept {
    char name[16] = {};
    std::strncpy(name, AName, sizeof name - 1);
    pthread_setname_np(pthread_self(), name);
}

void TThreadBase::Start() {
    FThread = std::thread([this] { Run(); });
}

void TThreadBase::Terminate() {
    FTerminated.store(true, std::memory_order_release);
}

void TThreadBase::WaitFor() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}

void TThreadBase::Abandon() {
    {
        std::lock_guard lock(FShared->mutex);
        FShared->abandoned = true;
    }
    FShared->changed.notify_all();
}

bool TThreadBase::Synchronize(std::function<void()> fn) {
    return RunOnMainThread(std::move(fn), TErrors::ToCaller);
}

bool TThreadBase::RunOnMainThread(std::function<void()> fn, TErrors errors) {
    if (platform::IsMainThread()) {
        fn();
        return true;
    }
    auto call = std::make_shared<TCall>();
    call->fn = std::move(fn);
    std::shared_ptr<TShared> shared = FShared;
    {
        std::lock_guard lock(shared->mutex);
        if (shared->abandoned)
            return false;
    }
    platform::PostToMainThread([shared, call, errors] {
        {
            std::lock_guard lock(shared->mutex);
            if (shared->abandoned) {
                call->done = true;
                shared->changed.notify_all();
                return;
            }
        }
        std::exception_ptr error;
        try {
            call->fn();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(shared->mutex);
            call->done = true;
            if (errors == TErrors::ToCaller)
                call->error = error;
        }
        shared->changed.notify_all();
        // The end handler's errors belong to the main thread's error report.
        if (error && errors == TErrors::StayOnMainThread)
            std::rethrow_exception(error);
    });
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [&] { return call->done || shared->abandoned; });
    if (!call->done)
        return false;
    if (call->error)
        std::rethrow_exception(call->error);
    return true;
}

void TThreadBase::Run() {
    try {
        Execute();
    } catch (...) {
        FFatalException = std::current_exception();
    }
    if (FOnTerminate)
        RunOnMainThread([this] { FOnTerminate(this); }, TErrors::StayOnMainThread);
    FFinished.store(true, std::memory_order_release);
    if (FFreeOnTerminate) {
        // Deleted on the main thread once this thread has returned, so that it is joined rather
        // than left detached.
        platform::PostToMainThread([this] {
            WaitFor();
            delete this;
        });
    }
}
