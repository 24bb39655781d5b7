#pragma once

#include <initializer_list>
#include <span>

// Waitable objects on Linux descriptors, so that a thread waiting for any of several of them
// blocks in one poll(). Any thread may signal, reset or wait; the object's owner destroys it
// only when no thread waits on it any more.
namespace platform {

// Something a thread can wait for: a descriptor that poll() reports readable when the object is
// signalled.
class TWaitable {
public:
    virtual ~TWaitable() = default;
    virtual int WaitHandle() const noexcept = 0;
    // False: signalled while readable; true: signalled while writable.
    virtual bool WaitsForWriting() const noexcept { return false; }
    // Called by a waiter that poll() woke for this object. An automatic-reset event takes its
    // signal here; false means another waiter took it first and the caller must wait again.
    virtual bool TryAcquire() noexcept { return true; }
};

// An event object: manual reset (stays signalled until ResetEvent) or automatic reset (one
// successful wait consumes the signal; setting it twice before that still counts once).
class TEvent final : public TWaitable {
public:
    TEvent(bool manualReset, bool initialState);
    ~TEvent() override;
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void SetEvent() noexcept;
    void ResetEvent() noexcept;
    bool ManualReset() const noexcept { return FManualReset; }

    int WaitHandle() const noexcept override { return FFd; }
    bool TryAcquire() noexcept override;

private:
    int FFd = -1;
    bool FManualReset;
};

// A descriptor owned elsewhere (a process's pidfd, a pipe's end) seen as a waitable that is
// signalled while it is readable, or writable. Waiting never consumes anything.
class TFdWaitable final : public TWaitable {
public:
    explicit TFdWaitable(int fd, bool forWriting = false) noexcept
        : FFd(fd), FForWriting(forWriting) {}
    int WaitHandle() const noexcept override { return FFd; }
    bool WaitsForWriting() const noexcept override { return FForWriting; }

private:
    int FFd;
    bool FForWriting;
};

inline constexpr int WaitInfinite = -1;
inline constexpr int WaitTimeout = -1;

// Waits until one of the objects is signalled and returns its index; WaitTimeout when timeoutMs
// (WaitInfinite = no limit) passed first. When several are signalled, the first in the given
// order wins and only that one is acquired. Raises EOSError when poll() fails.
int WaitForAny(std::span<TWaitable* const> objects, int timeoutMs = WaitInfinite);
int WaitForAny(std::initializer_list<TWaitable*> objects, int timeoutMs = WaitInfinite);
// True when the object was signalled (and acquired) within timeoutMs.
bool WaitForSingle(TWaitable& object, int timeoutMs = WaitInfinite);

} // namespace platform
