#include "platform/events.h"

#include "platform/syserror.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <vector>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

TEvent::TEvent(bool manualReset, bool initialState) : FManualReset(manualReset) {
    // Non-blocking, so that a waiter that lost the race for an automatic-reset signal learns it
    // from EAGAIN instead of blocking in read().
    FFd = ::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (FFd < 0)
        throw MakeOSError(errno);
}

TEvent::~TEvent() {
    ::close(FFd);
}

void TEvent::SetEvent() noexcept {
    // The counter only ever grows by one per call; it cannot reach the overflow limit, so the
    // write either succeeds or is interrupted.
    const std::uint64_t one = 1;
    while (::write(FFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void TEvent::ResetEvent() noexcept {
    std::uint64_t value = 0;
    while (::read(FFd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool TEvent::TryAcquire() noexcept {
    if (FManualReset)
        return true;
    std::uint64_t value = 0;
    for (;;) {
        if (::read(FFd, &value, sizeof value) == static_cast<ssize_t>(sizeof value))
            return true;
        if (errno != EINTR)
            return false; // EAGAIN: another waiter took the signal
    }
}

int WaitForAny(std::span<TWaitable* const> objects, int timeoutMs) {
    std::vector<pollfd> fds(objects.size());
    for (std::size_t i = 0; i < objects.size(); ++i)
        fds[i] = pollfd{objects[i]->WaitHandle(),
                        short(objects[i]->WaitsForWriting() ? POLLOUT : POLLIN), 0};

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = -1;
        if (timeoutMs >= 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            wait = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        const int ready = ::poll(fds.data(), fds.size(), wait);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            throw MakeOSError(errno);
        }
        if (ready == 0)
            return WaitTimeout;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & POLLNVAL)
                throw MakeOSError(EBADF);
            if ((fds[i].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR)) &&
                objects[i]->TryAcquire())
                return static_cast<int>(i);
        }
        // Every signal poll() saw was taken by another waiter meanwhile: wait again, for what
        // is left of the time.
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            return WaitTimeout;
    }
}

int WaitForAny(std::initializer_list<TWaitable*> objects, int timeoutMs) {
    return WaitForAny(std::span<TWaitable* const>(objects.begin(), objects.size()), timeoutMs);
}

bool WaitForSingle(TWaitable& object, int timeoutMs) {
    TWaitable* const one[] = {&object};
    return WaitForAny(one, timeoutMs) == 0;
}

} // namespace platform
