#include "platform/thread.h"

#include "platform/mainthread.h"

TThreadBase::~TThreadBase()
{
    if (FThread.joinable()) {
        if (FThread.get_id() == std::this_thread::get_id())
            FThread.detach(); // self-disposal: the thread is deleting its own object
        else {
            Terminate();
            FThread.join();
        }
    }
}

void TThreadBase::Start()
{
    FThread = std::thread([this] { Run(); });
}

void TThreadBase::Terminate()
{
    FTerminated.store(true, std::memory_order_release);
}

void TThreadBase::WaitFor()
{
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id())
        FThread.join();
}

void TThreadBase::Run()
{
    try {
        Execute();
    } catch (...) {
        FFatalException = std::current_exception();
    }
    if (FOnTerminate)
        platform::SendToMainThread([this] { FOnTerminate(this); });
    FFinished.store(true, std::memory_order_release);
    if (FFreeOnTerminate)
        delete this;
}
